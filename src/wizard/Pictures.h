// The wizard's pictures, drawn from the artwork compiled into the program at their fixed
// pixel sizes.
#pragma once

#include <QPixmap>
#include <QSize>

// Pixel size of a picture resource; an empty size for an unknown id.
QSize BitmapSize(int nId);

// The picture at its pixel size (scaled for the screen's pixel ratio). A picture whose
// artwork is missing or unreadable comes back transparent, at the same size.
QPixmap LoadBitmap(int nId);

// The program's icon (null when the artwork is missing).
class QIcon;
QIcon AppIcon();
