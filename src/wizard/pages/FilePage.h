// CFilePage: the page that names the firmware package (an .inf script or a .bin image).
//
// At every entry the edit field shows the path stored at the last successful Next (empty when
// none is stored). Next passes only with a path that names a regular file that can be opened
// for reading; it then makes the package's folder the current directory and stores the path.
//
// While the page is shown, one .inf or .bin file dropped anywhere on the wizard's window (from
// a file manager) fills the path field; any other drop (several files, a folder, another
// extension, text) is refused, and the cursor shows it while dragging. The path field has its
// whole text as tooltip.
#pragma once

#include <QString>

#include "PropertyPage.h"

class CUpgraderSheet;

class CFilePage : public CPropertyPage {
    Q_OBJECT
public:
    explicit CFilePage(CUpgraderSheet* pSheet);

    void DoDataExchange(CDataExchange* pDX) override;
    // Offers Back and Next and loads the stored path. Always TRUE.
    win::BOOL OnSetActive() override;
    // 0 to go on; 1 when the path cannot be opened for reading; -1 when its folder cannot
    // become the current directory. Nothing is stored unless the result is 0. A relative path
    // with a folder part is made absolute first, so it still names the package from inside
    // that folder.
    win::LRESULT OnWizardNext() override;

    // Runs the open-file dialog; a confirmed choice replaces the path.
    void OnBrowse();

    // The package path as it stood when the page was last left or loaded.
    QString GetFileName() const { return m_strFileName; }

    // The package a drop carries: the path of its one local .inf or .bin file, or empty when
    // the drop is to be refused.
    static QString DroppedPackage(const class QMimeData* pData);

protected:
    void OnInitDialog() override;
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    QString m_strFileName;
    CUpgraderSheet* m_pSheet;
};
