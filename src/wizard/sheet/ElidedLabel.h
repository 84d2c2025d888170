// CElidedLabel: a one-line static text that never cuts its text without a mark. A text wider
// than the label is drawn shortened with "…" (at its end, or in its middle for a path) and the
// whole text becomes the tooltip; a text that fits has no tooltip. text() is always the whole
// text, so data exchange and screen readers see all of it.
#pragma once

#include <QLabel>

class CElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit CElidedLabel(Qt::TextElideMode mode, QWidget* pParent = nullptr);

    // Sets the whole text and updates the tooltip.
    void SetText(const QString& text);
    // Whether the text is drawn shortened at the label's current width.
    bool IsElided() const;
    // The text as drawn.
    QString ShownText() const;

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;
    void changeEvent(QEvent* pEvent) override;

private:
    void UpdateToolTip();

    Qt::TextElideMode m_mode;
};
