// CFirmwareApp: the application. It runs the upgrade wizard once, modally, and the program
// ends when the wizard closes, whatever its outcome.
#pragma once

#include "WizardTypes.h"

class CFirmwareApp {
public:
    // Creates the wizard, adds its pages, runs it until Finish or Cancel and deletes it.
    // Returns FALSE: there is nothing left to run afterwards. Needs a QApplication.
    BOOL InitInstance();
};
