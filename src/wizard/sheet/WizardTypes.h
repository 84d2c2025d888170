// The small vocabulary shared by the wizard layer: the result types of page handlers, the
// wizard button masks a page posts to its sheet, and the ids of the sheet's own buttons.
// They keep the names and values of the platform the wizard was first written for, so they
// live in namespace win and are always named with it: win::TRUE reads as what it is and
// collides with nothing.
#pragma once

#include <cstdint>

namespace win {

using BOOL = int;
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// Result of OnWizardNext/OnWizardBack: 0 the neighbouring page, -1 stay, otherwise the dialog
// id of the page to go to (a value that names no page stays as well).
using LRESULT = intptr_t;

// Button masks for CPropertySheet::SetWizardButtons. A button whose bit is clear is disabled.
// FINISH and DISABLEDFINISH show Finish in place of Next, enabled or not.
inline constexpr uint32_t PSWIZB_BACK = 0x1;
inline constexpr uint32_t PSWIZB_NEXT = 0x2;
inline constexpr uint32_t PSWIZB_FINISH = 0x4;
inline constexpr uint32_t PSWIZB_DISABLEDFINISH = 0x8;

// Ids of the sheet's buttons (CPropertySheet::GetDlgItem, PressButton).
inline constexpr int IDCANCEL = 2;
inline constexpr int ID_WIZBACK = 0x3023;
inline constexpr int ID_WIZNEXT = 0x3024;
inline constexpr int ID_WIZFINISH = 0x3025;

// The id of controls that have none of their own.
inline constexpr int IDC_STATIC = -1;

}  // namespace win
