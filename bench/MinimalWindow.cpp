// The floor for the start-up figure: a Qt main window with a plain text area,
// shown and left to its event loop, built with the same Qt as Kestrel.
#include <QApplication>
#include <QMainWindow>
#include <QPlainTextEdit>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setCentralWidget(new QPlainTextEdit(&window));
    window.resize(400, 300);
    window.show();
    return QApplication::exec();
}
