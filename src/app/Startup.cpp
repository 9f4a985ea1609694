#include "app/Startup.h"

#include "app/Unit1a.h"
#include "app/Unit1b.h"
#include "app/Unit2a.h"
#include "app/Unit2b.h"
#include "app/Unit3.h"
#include "app/Unit4a.h"
#include "app/Unit4b.h"

namespace korvalane {

void CreateForms() {
  Form1a = new TForm1a;
  // The dialogs belong to the main window, so that they stay above it.
  Form1b = new TForm1b(Form1a);
  Form2a = new TForm2a(Form1a);
  Form2b = new TForm2b(Form1a);
  Form3 = new TForm3(Form1a);
  Form4a = new TForm4a(Form1a);
  Form4b = new TForm4b(Form1a);
}

void DestroyForms() {
  delete Form1a;  // and with it the dialogs it owns
  Form1a = nullptr;
  Form1b = nullptr;
  Form2a = nullptr;
  Form2b = nullptr;
  Form3 = nullptr;
  Form4a = nullptr;
  Form4b = nullptr;
}

}  // namespace korvalane
