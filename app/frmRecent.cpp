#include "app/frmRecent.h"

#include <QDateTime>
#include <QHeaderView>
#include <QVBoxLayout>

namespace quarnel {

frmRecent::frmRecent(const CloseRecords& records, QWidget* parent)
    : QWidget(parent, Qt::Window), records_(records) {
    setObjectName("frmRecent");
    setWindowTitle(tr("Quarnel: recent closes"));
    auto* layout = new QVBoxLayout(this);  // owned by this window, as Qt's layouts are
    layout->addWidget(&lstCloses);
    lstCloses.setHeaderLabels({tr("Time"), tr("What"), tr("Connection"), tr("Rule"), tr("Program"),
                               tr("PID"), tr("User")});
    lstCloses.setRootIsDecorated(false);
    lstCloses.setUniformRowHeights(true);
    lstCloses.header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    resize(900, 320);
    Follow();
}

void frmRecent::Follow() {
    if (records_.Added() == shown_) {
        return;
    }
    shown_ = records_.Added();
    lstCloses.clear();
    const auto& recent = records_.Recent();
    QList<QTreeWidgetItem*> items;
    for (auto record = recent.rbegin(); record != recent.rend(); ++record) {
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(
            std::chrono::duration_cast<std::chrono::milliseconds>(record->Time.time_since_epoch())
                .count());
        const bool known = record->Owner.Known();
        items.append(new QTreeWidgetItem(QStringList{
            when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            record->Missed ? tr("missed") : tr("closed"),
            QString::fromStdString(record->Connection), QString::fromStdString(record->Rule),
            known ? QString::fromUtf8(record->Owner.CommandText().data(),
                                      qsizetype(record->Owner.CommandText().size()))
                  : tr("unknown"),
            known ? QString::number(record->Owner.Pid) : QString(),
            QString::fromStdString(record->User)}));
    }
    lstCloses.addTopLevelItems(items);  // the list owns them
}

}  // namespace quarnel
