#include "ElidedLabel.h"

#include <QEvent>
#include <QPainter>
#include <QStyle>

CElidedLabel::CElidedLabel(Qt::TextElideMode mode, QWidget* pParent)
    : QLabel(pParent), m_mode(mode) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

void CElidedLabel::SetText(const QString& text) {
    setText(text);
    UpdateToolTip();
    update();
}

bool CElidedLabel::IsElided() const {
    return fontMetrics().horizontalAdvance(text()) > contentsRect().width();
}

QString CElidedLabel::ShownText() const {
    return fontMetrics().elidedText(text(), m_mode, contentsRect().width());
}

QSize CElidedLabel::minimumSizeHint() const {
    // Any width will do: the text shortens to it.
    return {0, QLabel::minimumSizeHint().height()};
}

void CElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawFrame(&painter);
    style()->drawItemText(&painter, contentsRect(), static_cast<int>(alignment()), palette(),
                          isEnabled(), ShownText(), foregroundRole());
}

void CElidedLabel::resizeEvent(QResizeEvent* pEvent) {
    QLabel::resizeEvent(pEvent);
    UpdateToolTip();
}

void CElidedLabel::changeEvent(QEvent* pEvent) {
    QLabel::changeEvent(pEvent);
    if (pEvent->type() == QEvent::FontChange) {
        UpdateToolTip();
    }
}

void CElidedLabel::UpdateToolTip() {
    const QString tip = IsElided() ? text() : QString();
    if (toolTip() != tip) {
        setToolTip(tip);
    }
}
