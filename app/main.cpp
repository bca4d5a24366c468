#include "widget.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/tavrik.png")));
    Widget window;
    window.show();
    window.setWindowTitle(QStringLiteral("Tavrik"));
    return app.exec();
}
