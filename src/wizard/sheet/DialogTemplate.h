// Page dialogs as tables of controls, and the builder that turns a table into widgets.
//
// A table lists a dialog's controls in dialog order, which is also their tab order: id, kind,
// style, position and size in dialog units, text (or picture id) and, for combo boxes, the
// initial list; then, for a screen reader, the control a static labels (its buddy) and the
// accessible name and description where the visible text is not enough. Dialog units follow the
// dialog font as the classic dialog manager defines them: one horizontal unit is a quarter of the
// font's average character width, one vertical unit an eighth of its height. So a dialog keeps its
// proportions in any font, while pictures keep their own pixel size. Static texts wrap at word
// boundaries, except those one line high: they keep their text on that line and widen to it where a
// font runs wider than the dialog's proportions allow.
#pragma once

#include <QFont>
#include <cstdint>
#include <vector>

#include "WizardTypes.h"

class QWidget;

enum class CtlKind { Static, Picture, Edit, PushButton, RadioButton, ComboBox, GroupBox, Progress };

// Style bits of a control.
inline constexpr uint32_t CTL_GROUP = 0x01;    // starts a group (radio groups end at the next)
inline constexpr uint32_t CTL_CENTER = 0x02;   // text centred horizontally
inline constexpr uint32_t CTL_VCENTER = 0x04;  // text centred vertically, on one line
inline constexpr uint32_t CTL_SUNKEN = 0x08;   // sunken border
inline constexpr uint32_t CTL_BORDER = 0x10;   // edit field with a border
inline constexpr uint32_t CTL_SORT = 0x20;     // combo list sorted
inline constexpr uint32_t CTL_SMOOTH = 0x40;   // progress bar without segments
// A one-line static whose text can outgrow it: shortened with "…" at its end, the whole text
// as tooltip (CElidedLabel). Such a static keeps its size whatever the text.
inline constexpr uint32_t CTL_ELLIPSIS = 0x80;
// A static whose text can be selected with the mouse and the keyboard (and copied).
inline constexpr uint32_t CTL_SELECTABLE = 0x100;

struct DialogControl {
    int nId = win::IDC_STATIC;
    CtlKind kind = CtlKind::Static;
    uint32_t nStyle = 0;
    int x = 0, y = 0, cx = 0, cy = 0;  // dialog units; pictures take their picture's size
    const char* pszText = "";
    int nBitmap = 0;                       // pictures: the bitmap resource shown
    std::vector<const char*> items;        // combo boxes: the list, in the order it is filled
    int nBuddy = 0;                        // statics: the id of the control they label, or 0
    const char* pszName = nullptr;         // accessible name, when the text does not name it
    const char* pszDescription = nullptr;  // accessible description, or null
};

struct DialogTemplate {
    int nId = 0;
    const char* pszCaption = "";
    int cx = 0, cy = 0;  // dialog units
    std::vector<DialogControl> controls;
};

// The program's dialog with that id, or null.
const DialogTemplate* FindDialogTemplate(int nId);

// The font every page is laid out in: a sans-serif face at 8 points.
QFont DialogFont();

// Dialog base units of a font and the conversion of dialog units to pixels.
class CDialogUnits {
public:
    explicit CDialogUnits(const QFont& font);
    int BaseX() const { return m_nBaseX; }
    int BaseY() const { return m_nBaseY; }
    int ToPixelsX(int nUnits) const;
    int ToPixelsY(int nUnits) const;

private:
    int m_nBaseX;
    int m_nBaseY;
};

struct BuiltControl {
    int nId;
    QWidget* pWidget;  // a child of the parent given to BuildDialog
    bool bGroup;       // starts a group
};

// Creates the table's controls as children of pParent, in table order, laid out in dialog
// units of pParent's font, and sizes pParent to the dialog. Radio buttons of one group are
// mutually exclusive; statics become the buddies of the controls they label; accessible
// names and descriptions are set. Returns the controls in table order.
std::vector<BuiltControl> BuildDialog(const DialogTemplate& dialog, QWidget* pParent);
