#include "WindowWatch.h"

#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QWidget>

CWindowWatch::CWindowWatch(QWidget* pWindow) : m_pWindow(pWindow) {
    QCoreApplication::instance()->installNativeEventFilter(this);
}

CWindowWatch::~CWindowWatch() {
    if (QCoreApplication* pApp = QCoreApplication::instance()) {
        pApp->removeNativeEventFilter(this);
    }
}

bool CWindowWatch::nativeEventFilter(const QByteArray& eventType, void* pMessage, qintptr*) {
    if (m_bLost || m_pWindow == nullptr || eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto* pEvent = static_cast<const xcb_generic_event_t*>(pMessage);
    if ((pEvent->response_type & 0x7f) != XCB_DESTROY_NOTIFY) {
        return false;
    }
    const auto* pDestroy = static_cast<const xcb_destroy_notify_event_t*>(pMessage);
    // Qt destroys a native window only together with its widget, and a watched widget is not
    // deleted while the watch runs: a destruction seen here comes from outside.
    if (!m_pWindow->testAttribute(Qt::WA_WState_Created) ||
        pDestroy->window != static_cast<xcb_window_t>(m_pWindow->winId())) {
        return false;
    }
    m_bLost = true;
    QMetaObject::invokeMethod(this, &CWindowWatch::lost, Qt::QueuedConnection);
    return false;
}
