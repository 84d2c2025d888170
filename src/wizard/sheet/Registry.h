// The per-user settings store: text values under a key path, kept in the user's native
// settings file.
//
// A key path "Software\<Organisation>\<Application>" below HKEY_CURRENT_USER selects the file
// <Organisation>/<Application>.conf in the user's configuration folder ($XDG_CONFIG_HOME,
// falling back to ~/.config); each value is a top-level entry of that file, stored as text.
// Every call opens and closes the store by itself. Neither operation shows a message.
#pragma once

#include <QString>

#include "WizardTypes.h"

// The root a key path starts from. Only the current user's store exists.
enum class HKEY { CurrentUser };
inline constexpr HKEY HKEY_CURRENT_USER = HKEY::CurrentUser;

// Texts of this many bytes or more (UTF-8, the terminating NUL not counted) do not fit the
// reader's buffer and read as missing.
inline constexpr int REGISTRY_BUFFER_SIZE = 256;

// TRUE with the value's text (up to its first NUL) in *pString. FALSE when pString is null
// (nothing touched), or when the key path names no store, the value is missing, the store
// cannot be read, or the text needs REGISTRY_BUFFER_SIZE bytes or more; *pString is then empty.
win::BOOL ReadRegistryString(HKEY hRoot, const QString& strKey, const QString& strName,
                             QString* pString);

// TRUE when the value was stored (the store is created as needed); FALSE when the key path
// names no store or the store cannot be written.
win::BOOL WriteRegistryString(HKEY hRoot, const QString& strKey, const QString& strName,
                              const QString& strValue);
