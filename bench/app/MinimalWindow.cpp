// The smallest Qt Widgets program that shows a window of the main window's
// size: the yardstick startup_bench measures the program against.

#include <QApplication>
#include <QWidget>

int main(int argc, char **argv)
{
  QApplication App(argc, argv);
  QWidget Window;
  Window.setFixedSize(644, 511);
  Window.show();
  return App.exec();
}
