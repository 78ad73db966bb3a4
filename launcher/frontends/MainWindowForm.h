#pragma once

#include "ui_MainWindow.h"

// The widgets of the window's form, built on a QMainWindow by setupUi(). The widgets belong to the
// window through the object tree; the record itself belongs to whoever built it.
class MainWindowForm : public Ui::MainWindow
{
};
