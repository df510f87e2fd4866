#include "gui/SettingBinding.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>

namespace velora {

namespace {

QString controlName(Setting id)
{
    return QString::fromLatin1(definitionOf(id).control);
}

// Calls show(value) now and whenever the setting changes; the connection ends
// with the control.
template <typename Control, typename Show>
void follow(Control *control, Settings &settings, Setting id, Show show)
{
    control->setObjectName(controlName(id));
    show();
    QObject::connect(&settings, &Settings::changed, control, [id, show](Setting changed) {
        if (changed == id)
            show();
    });
}

} // namespace

void bind(QLineEdit *edit, Settings &settings, Setting id)
{
    follow(edit, settings, id, [edit, &settings, id] {
        const QString text = settings.text(id);
        if (edit->text() != text)
            edit->setText(text);
    });
    QObject::connect(edit, &QLineEdit::textChanged, &settings,
                     [&settings, id](const QString &text) { settings.setText(id, text); });
}

void bind(QCheckBox *box, Settings &settings, Setting id)
{
    follow(box, settings, id, [box, &settings, id] {
        const bool checked = settings.checked(id);
        if (box->isChecked() != checked)
            box->setChecked(checked);
    });
    QObject::connect(box, &QCheckBox::toggled, &settings,
                     [&settings, id](bool checked) { settings.setChecked(id, checked); });
}

void bind(QSlider *slider, Settings &settings, Setting id)
{
    follow(slider, settings, id, [slider, &settings, id] {
        const int position = settings.position(id);
        if (slider->value() != position)
            slider->setValue(position);
    });
    QObject::connect(slider, &QSlider::valueChanged, &settings,
                     [&settings, id](int position) { settings.setPosition(id, position); });
}

void bind(QLabel *label, Settings &settings, Setting id)
{
    follow(label, settings, id, [label, &settings, id] { label->setText(settings.text(id)); });
}

} // namespace velora
