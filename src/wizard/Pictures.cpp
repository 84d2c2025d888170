#include "Pictures.h"

#include <QGuiApplication>
#include <QIcon>
#include <QPainter>
#include <QSvgRenderer>

#include "Resource.h"

// The artwork lives in a static library, so its resources are registered explicitly.
static void InitArtwork() {
    static const bool bDone = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    (void)bDone;
}

QSize BitmapSize(int nId) {
    switch (nId) {
        case IDB_WELCOME:
            return {100, 100};
        case IDB_FILE:
            return {130, 100};
        case IDB_LINK:
            return {80, 110};
        case IDB_TRANSFER:
            return {120, 120};
        case IDB_FAILURE:
            return {73, 64};
        case IDB_SUCCESS:
            return {68, 94};
        default:
            return {};
    }
}

QPixmap LoadBitmap(int nId) {
    InitArtwork();
    const QSize size = BitmapSize(nId);
    if (size.isEmpty()) {
        return {};
    }
    const qreal dRatio = qApp != nullptr ? qApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(size * dRatio);
    pixmap.setDevicePixelRatio(dRatio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(QStringLiteral(":/bitmaps/%1.svg").arg(nId));
    if (renderer.isValid()) {
        QPainter painter(&pixmap);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    }
    return pixmap;
}

QIcon AppIcon() {
    InitArtwork();
    return QIcon(QStringLiteral(":/bitmaps/orvanta.svg"));
}
