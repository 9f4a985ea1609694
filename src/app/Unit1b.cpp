#include "app/Unit1b.h"

TForm1b* Form1b = nullptr;

TForm1b::TForm1b(QWidget* parent) : QDialog(parent) { setupUi(this); }
