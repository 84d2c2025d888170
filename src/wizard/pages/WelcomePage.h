// CWelcomePage: the first page; it greets the user and always leads on to the File page.
#pragma once

#include "PropertyPage.h"

class CUpgraderSheet;

class CWelcomePage : public CPropertyPage {
    Q_OBJECT
public:
    explicit CWelcomePage(CUpgraderSheet* pSheet);

    // Offers Next only. Always TRUE.
    win::BOOL OnSetActive() override;

private:
    CUpgraderSheet* m_pSheet;
};
