#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Widget window;
    window.show();
    window.setWindowTitle(QStringLiteral("Tavrik"));
    return app.exec();
}
