// The program's string table: every user-visible text, the settings key and the setting
// names, looked up by id at each use.
#pragma once

#include <QString>

// The string with the given id; an empty string for an id the table does not hold.
QString LoadString(int nId);
