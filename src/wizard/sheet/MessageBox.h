// Messages the user must see at once: a modal box with an OK button only, titled with the
// application's name.
#pragma once

#include <QString>

// The application's name: the executable's file name without its extension.
QString AfxGetAppName();

// Shows text in a warning box with OK only, over the active window, and returns when the
// user has closed it.
void AfxMessageBox(const QString& text);
