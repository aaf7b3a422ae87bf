// The set commands of the main window: loading, saving, creating, importing,
// converting, the transparency editor and the batch panel.
#include "mainwindow.h"

void TForm1::loadcfsClick() {}
void TForm1::loadanyClick() {}
void TForm1::saveClick() {}
void TForm1::new16Click() {}
void TForm1::Button2Click() {}
void TForm1::getpalClick() {}
void TForm1::ConvertCurrentImageto256Colours1Click() {}
void TForm1::N16bit5651Click() {}
void TForm1::N16bit4441Click() {}
void TForm1::N32bit1Click() {}
void TForm1::updatpalClick() {}
void TForm1::Button13Click() {}
void TForm1::Button15Click() {}
void TForm1::Button20Click() {}
void TForm1::ExeButton2Click() {}
