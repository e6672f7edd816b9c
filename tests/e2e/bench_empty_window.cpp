#include <QApplication>
#include <QWidget>

// One empty window of the same client size as Form1, and nothing else.
int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QWidget window;
    window.resize(312, 213);
    window.show();
    return QApplication::exec();
}
