#include "DialogTemplate.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <algorithm>
#include <cmath>

#include "ElidedLabel.h"
#include "Pictures.h"

namespace {

// a * b / c rounded to the nearest integer, halves away from zero.
int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
}

QLabel* MakeStatic(const DialogControl& control, QWidget* pParent) {
    if (control.nStyle & CTL_ELLIPSIS) {
        auto* pLabel = new CElidedLabel(Qt::ElideRight, pParent);
        pLabel->SetText(QString::fromLatin1(control.pszText));
        pLabel->setAlignment(((control.nStyle & CTL_CENTER) ? Qt::AlignHCenter : Qt::AlignLeft) |
                             ((control.nStyle & CTL_VCENTER) ? Qt::AlignVCenter : Qt::AlignTop));
        return pLabel;
    }
    auto* pLabel = new QLabel(QString::fromLatin1(control.pszText), pParent);
    pLabel->setTextFormat(Qt::PlainText);
    if (control.nStyle & CTL_SELECTABLE) {
        pLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    }
    Qt::Alignment alignment = (control.nStyle & CTL_CENTER) ? Qt::AlignHCenter : Qt::AlignLeft;
    if (control.nStyle & CTL_VCENTER) {
        alignment |= Qt::AlignVCenter;
    } else {
        alignment |= Qt::AlignTop;
        pLabel->setWordWrap(true);
    }
    pLabel->setAlignment(alignment);
    return pLabel;
}

// A static one line high shows its text on that line: it does not wrap, and it widens to
// the text where the font runs wider than the dialog's proportions allow (a centred one on
// both sides).
QRect FitStatic(QLabel* pLabel, QRect box) {
    const QFontMetrics metrics(pLabel->font());
    if (box.height() >= 2 * metrics.height()) {
        return box;
    }
    pLabel->setWordWrap(false);
    const int nNeeded = static_cast<int>(
        std::ceil(QFontMetricsF(pLabel->font()).horizontalAdvance(pLabel->text())));
    if (nNeeded <= box.width()) {
        return box;
    }
    const int nExtra = nNeeded - box.width();
    if (pLabel->alignment() & Qt::AlignHCenter) {
        box.moveLeft(box.left() - nExtra / 2);
    }
    box.setWidth(nNeeded);
    return box;
}

QLabel* MakePicture(const DialogControl& control, QWidget* pParent) {
    auto* pLabel = new QLabel(pParent);
    const QPixmap picture = LoadBitmap(control.nBitmap);
    pLabel->setPixmap(picture);
    int nBorder = 0;
    if (control.nStyle & CTL_SUNKEN) {
        pLabel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pLabel->setLineWidth(1);
        nBorder = 1;
    }
    const QSize size = picture.deviceIndependentSize().toSize();
    pLabel->resize(size.width() + 2 * nBorder, size.height() + 2 * nBorder);
    return pLabel;
}

QComboBox* MakeComboBox(const DialogControl& control, QWidget* pParent) {
    auto* pCombo = new QComboBox(pParent);
    pCombo->setEditable(true);
    pCombo->setInsertPolicy(QComboBox::NoInsert);
    pCombo->setCompleter(nullptr);  // typed text stays as typed
    QStringList items;
    for (const char* pszItem : control.items) {
        items << QString::fromLatin1(pszItem);
    }
    if (control.nStyle & CTL_SORT) {
        std::stable_sort(items.begin(), items.end(), [](const QString& a, const QString& b) {
            return a.compare(b, Qt::CaseInsensitive) < 0;
        });
    }
    pCombo->addItems(items);
    pCombo->setCurrentIndex(-1);
    pCombo->setEditText(QString());
    return pCombo;
}

QWidget* MakeControl(const DialogControl& control, QWidget* pParent) {
    switch (control.kind) {
        case CtlKind::Static:
            return MakeStatic(control, pParent);
        case CtlKind::Picture:
            return MakePicture(control, pParent);
        case CtlKind::Edit: {
            auto* pEdit = new QLineEdit(QString::fromLatin1(control.pszText), pParent);
            pEdit->setFrame((control.nStyle & CTL_BORDER) != 0);
            return pEdit;
        }
        case CtlKind::PushButton:
            return new QPushButton(QString::fromLatin1(control.pszText), pParent);
        case CtlKind::RadioButton:
            return new QRadioButton(QString::fromLatin1(control.pszText), pParent);
        case CtlKind::ComboBox:
            return MakeComboBox(control, pParent);
        case CtlKind::GroupBox:
            return new QGroupBox(QString::fromLatin1(control.pszText), pParent);
        case CtlKind::Progress: {
            auto* pBar = new QProgressBar(pParent);
            pBar->setRange(0, 100);
            pBar->setValue(0);
            // The value as text, for the eye and for screen readers, which read it from there.
            pBar->setFormat(QStringLiteral("%p%"));
            return pBar;
        }
    }
    return nullptr;
}

}  // namespace

QFont DialogFont() {
    QFont font(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
    return font;
}

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int nWidth = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseX = std::max(1, (nWidth / 26 + 1) / 2);
    m_nBaseY = std::max(1, metrics.height());
}

int CDialogUnits::ToPixelsX(int nUnits) const {
    return MulDiv(nUnits, m_nBaseX, 4);
}
int CDialogUnits::ToPixelsY(int nUnits) const {
    return MulDiv(nUnits, m_nBaseY, 8);
}

std::vector<BuiltControl> BuildDialog(const DialogTemplate& dialog, QWidget* pParent) {
    const CDialogUnits units(pParent->font());
    std::vector<BuiltControl> built;
    QButtonGroup* pRadioGroup = nullptr;
    for (const DialogControl& control : dialog.controls) {
        QWidget* pWidget = MakeControl(control, pParent);
        const bool bGroup = (control.nStyle & CTL_GROUP) != 0;
        const int x = units.ToPixelsX(control.x);
        const int y = units.ToPixelsY(control.y);
        switch (control.kind) {
            case CtlKind::Picture:
                pWidget->move(x, y);
                break;
            case CtlKind::ComboBox:
                // The height in the table is that of the dropped-down list; the closed box is
                // as tall as the style makes it.
                pWidget->setGeometry(x, y, units.ToPixelsX(control.cx),
                                     pWidget->sizeHint().height());
                break;
            case CtlKind::Static:
                if (control.nStyle & CTL_ELLIPSIS) {
                    pWidget->setGeometry(x, y, units.ToPixelsX(control.cx),
                                         units.ToPixelsY(control.cy));
                    break;
                }
                pWidget->setGeometry(FitStatic(
                    static_cast<QLabel*>(pWidget),
                    QRect(x, y, units.ToPixelsX(control.cx), units.ToPixelsY(control.cy))));
                break;
            default:
                pWidget->setGeometry(x, y, units.ToPixelsX(control.cx),
                                     units.ToPixelsY(control.cy));
                break;
        }
        if (control.kind == CtlKind::RadioButton) {
            if (bGroup || pRadioGroup == nullptr) {
                pRadioGroup = new QButtonGroup(pParent);
            }
            pRadioGroup->addButton(static_cast<QRadioButton*>(pWidget));
        } else if (bGroup) {
            pRadioGroup = nullptr;
        }
        // Like the dialog manager, clicks go through statics, pictures and group boxes to
        // whatever lies below them.
        if (control.kind == CtlKind::Static || control.kind == CtlKind::Picture ||
            control.kind == CtlKind::GroupBox) {
            pWidget->setAttribute(Qt::WA_TransparentForMouseEvents);
        }
        if (control.pszName != nullptr) {
            pWidget->setAccessibleName(QString::fromUtf8(control.pszName));
        }
        if (control.pszDescription != nullptr) {
            pWidget->setAccessibleDescription(QString::fromUtf8(control.pszDescription));
        }
        // The edit field of a combo is what has the focus while typing: it carries the name.
        if (auto* pCombo = qobject_cast<QComboBox*>(pWidget);
            pCombo != nullptr && pCombo->lineEdit() != nullptr) {
            pCombo->lineEdit()->setAccessibleName(pWidget->accessibleName());
            pCombo->lineEdit()->setAccessibleDescription(pWidget->accessibleDescription());
        }
        pWidget->show();  // shown with the page, also when the page is already on screen
        built.push_back({control.nId, pWidget, bGroup});
    }
    // A label read by a screen reader together with its field, and whose mnemonic would move
    // the focus there.
    for (size_t i = 0; i < built.size(); ++i) {
        const int nBuddy = dialog.controls[i].nBuddy;
        auto* pLabel = qobject_cast<QLabel*>(built[i].pWidget);
        if (nBuddy == 0 || pLabel == nullptr) {
            continue;
        }
        for (const BuiltControl& target : built) {
            if (target.nId == nBuddy) {
                pLabel->setBuddy(target.pWidget);
            }
        }
    }
    // Group boxes frame the controls around them and are drawn beneath them.
    for (const BuiltControl& control : built) {
        if (qobject_cast<QGroupBox*>(control.pWidget) != nullptr) {
            control.pWidget->lower();
        }
    }
    pParent->setFixedSize(units.ToPixelsX(dialog.cx), units.ToPixelsY(dialog.cy));
    return built;
}
