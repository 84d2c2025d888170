// CWindowWatch: notices when a top-level window's native window is destroyed by someone other
// than the program (a window manager or a tool such as `xdotool windowclose` on X11). Qt goes
// on as if the window were still there, so without this the program would run on with nothing
// on screen. Only X11 can take a window away like that; on other platforms lost() never comes.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPointer>

class QWidget;

class CWindowWatch : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    // Watches pWindow from now until the watch is deleted.
    explicit CWindowWatch(QWidget* pWindow);
    ~CWindowWatch() override;

    bool nativeEventFilter(const QByteArray& eventType, void* pMessage, qintptr* pResult) override;

signals:
    // The native window is gone; emitted once, queued to the event loop.
    void lost();

private:
    QPointer<QWidget> m_pWindow;
    bool m_bLost = false;
};
