#include "MessageBox.h"

#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>

QString AfxGetAppName() {
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

void AfxMessageBox(const QString& text) {
    QMessageBox box(QMessageBox::Warning, AfxGetAppName(), text, QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
}
