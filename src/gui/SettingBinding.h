#pragma once

#include "shell/Settings.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace velora {

// Two-way bindings between a control and its setting: the control shows the
// setting's current value and every change of either side reaches the other.
// The control is named after the setting, which is how tests and the
// configuration file know it. A binding lives as long as the control.
void bind(QLineEdit *edit, Settings &settings, Setting id);
void bind(QCheckBox *box, Settings &settings, Setting id);
void bind(QSlider *slider, Settings &settings, Setting id);
// Labels only show their setting (IntLab follows the slider).
void bind(QLabel *label, Settings &settings, Setting id);

} // namespace velora
