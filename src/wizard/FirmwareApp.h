// CFirmwareApp: the application. It runs the upgrade wizard once, modally, and the program
// ends when the wizard closes, whatever its outcome: the exit status is 0.
//
// A window taken away from outside leaves nobody to read the Done page, so then the outcome
// goes to stderr in one line and into the exit status: 0 when no attempt failed, else the
// result code of the last attempt. When the display itself goes away, Qt ends the process
// (status 1); an upgrade under way is stopped first, its port closed, and stderr says so.
#pragma once

#include "WizardTypes.h"

class CFirmwareApp {
public:
    // Creates the wizard, adds its pages, runs it until Finish or Cancel and deletes it.
    // Returns FALSE: there is nothing left to run afterwards. Needs a QApplication.
    win::BOOL InitInstance();
    // The status the program exits with (above).
    int ExitStatus() const { return m_nExitStatus; }

private:
    int m_nExitStatus = 0;
};
