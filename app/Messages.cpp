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

MessageBoxes::MessageBoxes(ActionLog& log) : errors_(log) {}
MessageBoxes::~MessageBoxes() = default;

void MessageBoxes::Show(const std::string& text) {
    if (unattended_) {
        return Log(text);
    }
    (void)Ask(text, QMessageBox::Ok);  // the only answer is OK
}

void MessageBoxes::Log(const std::string& text) {
    errors_.Say("quarnel: " + text);
}

void MessageBoxes::Notify(const std::string& text) {
    Log(text);
    if (!unattended_) {
        NotifyInBox(text);
    }
}

void MessageBoxes::NotifyInBox(const std::string& text) {
    if (unattended_) {
        return Log(text);
    }
    const QString told = QString::fromStdString(text);
    if (note_ && note_->isVisible()) {
        note_->setText(note_->text() + QStringLiteral("\n\n") + told);
        return;
    }
    note_ = std::make_unique<QMessageBox>(QMessageBox::NoIcon, QCoreApplication::applicationName(),
                                          told, QMessageBox::Ok);
    note_->setTextFormat(Qt::PlainText);  // the texts joined above keep their blank lines
    note_->setModal(false);
    note_->show();
}

bool MessageBoxes::Confirm(const std::string& text) {
    if (unattended_) {
        return false;  // nobody said OK
    }
    return Ask(text, QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
}

}  // namespace quarnel
