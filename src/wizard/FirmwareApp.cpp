#include "FirmwareApp.h"

#include <QApplication>
#include <memory>

#include "Pictures.h"
#include "UpgraderSheet.h"

BOOL CFirmwareApp::InitInstance() {
    QApplication::setWindowIcon(AppIcon());
    auto pSheet = std::make_unique<CUpgraderSheet>();
    pSheet->AddPages();
    pSheet->DoModal();
    return FALSE;
}
