#include "constants.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(talvenor::ProductName);
    window.setFixedSize(536, 477);
    window.show();
    return app.exec();
}
