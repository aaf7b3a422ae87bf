// Showing the slots in the views and handing them to the paint program.
#include "mainwindow.h"

void TForm1::refresh() { clearViews(); }
