#pragma once

#include <QIcon>
#include <QPixmap>

// The program's own small images, drawn once with QPainter. Every state
// differs by shape or glyph, not only by colour, so the list reads the same
// on a monochrome or high-contrast desktop.
class CIconPainter {
public:
    // Images of the history list, by index: 0 deleted, 1 deleted with tasks,
    // 2 on server, 3 on server with tasks, 4 quarantined, 5 quarantined with
    // tasks, 8 delivered; 6 and 7 are blank. Out of range gives image 0.
    static const QPixmap& ListImage(int index);
    static constexpr int kListImageCount = 9;
    // 0 idle, 1 to 3 the busy animation.
    static const QIcon& TrayIcon(int frame);
    enum Tool { T_Scan, T_Stop, T_Delete, T_Settings, T_About };
    // The toolbar's images; busy selects the set shown during a scan.
    static QIcon ToolIcon(Tool tool, bool busy);
};
