// The window's notification icon: added once when the window loads, it brings a minimised
// window back.
#include <QCoreApplication>

#include "app/frmMain.h"
#include "window/AppIdentity.h"

namespace quarnel {

void frmMain::TrayOn() {
    show();
    QCoreApplication::processEvents();  // the window is on screen before the icon appears
    TrayIcon.setIcon(windowIcon());
    TrayIcon.setToolTip(QString::fromUtf8(ProgramVersion.ProductName.data(),
                                          qsizetype(ProgramVersion.ProductName.size())));
    // A desktop without a notification area shows no icon; minimising then keeps the window in
    // the task bar.
    TrayIcon.show();
}

void frmMain::WatchTray() {
    if (isVisible()) {
        TrayWatch.stop();  // brought back: minimising again decides anew
        return;
    }
    if (!TrayAvailable()) {
        TrayWatch.stop();
        setWindowState(windowState() | Qt::WindowMinimized);
        show();
        // A tray that comes later is used at the next minimising.
        TrayIcon.show();
    }
}

void frmMain::TrayIcon_Activated(QSystemTrayIcon::ActivationReason reason) {
    if (!isMinimized()) {
        return;  // icon clicks do nothing while the window is open
    }
    switch (reason) {
        case QSystemTrayIcon::Trigger:  // left button
        case QSystemTrayIcon::DoubleClick:
            BringToFront();
            break;
        case QSystemTrayIcon::Context:  // right button: back in the task bar, still minimised
            // The desktop minimised the window, so the hint that maps a window minimised was
            // never set and showing it would restore it: a real change of state sets the hint.
            setWindowState(windowState() & ~Qt::WindowMinimized);
            setWindowState(windowState() | Qt::WindowMinimized);
            // Some window managers restore it all the same once it is mapped; Form_Resize then
            // minimises it again, without hiding it.
            showingMinimised_ = true;
            showingMinimisedSince_.start();
            show();
            break;
        case QSystemTrayIcon::MiddleClick:
        case QSystemTrayIcon::Unknown:
            break;
    }
}

}  // namespace quarnel
