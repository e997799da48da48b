#include "app/Messages.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace quarnel {

namespace {

QMessageBox::StandardButton Ask(const std::string& text, QMessageBox::StandardButtons buttons) {
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                    QString::fromStdString(text), buttons);
    box.setTextFormat(Qt::PlainText);  // a path in a message is never taken for markup
    box.setDefaultButton(QMessageBox::Ok);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace

MessageBoxes::MessageBoxes(ActionLog& log) : Errors(log) {}
MessageBoxes::~MessageBoxes() = default;

void MessageBoxes::Show(const std::string& text) {
    if (bUnattended) {
        return Log(text);
    }
    (void)Ask(text, QMessageBox::Ok);  // the only answer is OK
}

void MessageBoxes::Log(const std::string& text) {
    Errors.Say("quarnel: " + text);
}

void MessageBoxes::Notify(const std::string& text) {
    Log(text);
    if (!bUnattended) {
        NotifyInBox(text);
    }
}

void MessageBoxes::NotifyInBox(const std::string& text) {
    if (bUnattended) {
        return Log(text);
    }
    const QString told = QString::fromStdString(text);
    if (Note && Note->isVisible()) {
        Note->setText(Note->text() + QStringLiteral("\n\n") + told);
        return;
    }
    Note = std::make_unique<QMessageBox>(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                                         told, QMessageBox::Ok);
    Note->setTextFormat(Qt::PlainText);  // the texts joined above keep their blank lines
    Note->setModal(false);
    Note->show();
}

bool MessageBoxes::Confirm(const std::string& text) {
    if (bUnattended) {
        return false;  // nobody said OK
    }
    return Ask(text, QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
}

}  // namespace quarnel
