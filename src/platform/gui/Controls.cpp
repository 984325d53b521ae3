// Controls of a window: lookup by identifier, titles, texts, values, state and font style,
// over the Qt widgets of the interface description.
#include "GuiInternals.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace {

QWidget* WidgetOf(ControlRef control) {
    return control != nullptr ? control->widget.data() : nullptr;
}

QColor ColorFrom(const RGBColor& color) {
    return QColor::fromRgba64(color.red, color.green, color.blue);
}

Qt::Alignment AlignmentFrom(SInt16 justification) {
    switch (justification) {
        case teCenter:
            return Qt::AlignHCenter | Qt::AlignVCenter;
        case teFlushRight:
            return Qt::AlignRight | Qt::AlignVCenter;
        case teFlushLeft:
            return Qt::AlignLeft | Qt::AlignVCenter;
        default:
            return Qt::AlignLeading | Qt::AlignVCenter;
    }
}

QString WidgetText(const QWidget* widget);

// A text drawn in red is a warning. Whoever cannot see the colour must still hear it: the
// window's accessible description holds every warning shown now, and a warning that
// appears raises an alert event for screen readers.
constexpr const char* kWarningProperty = "kaWarningLine";

bool IsWarningColor(const RGBColor& color) {
    return color.red >= 0x8000 && color.green <= color.red / 2 && color.blue <= color.red / 2;
}

bool IsShownWarning(const QWidget* widget) {
    return widget->property(kWarningProperty).toBool() && !widget->isHidden() &&
           !WidgetText(widget).isEmpty();
}

void DescribeWarnings(QWidget* window) {
    QStringList shown;
    for (const QWidget* line : window->findChildren<QWidget*>()) {
        if (IsShownWarning(line)) {
            shown.append(WidgetText(line));
        }
    }
    const QString description = shown.join(QLatin1Char('\n'));
    if (window->accessibleDescription() != description) {
        window->setAccessibleDescription(description);
    }
}

void WarningChanged(QWidget* widget, bool appeared) {
    if (widget == nullptr || !widget->property(kWarningProperty).toBool()) {
        return;
    }
    DescribeWarnings(widget->window());
    if (appeared && IsShownWarning(widget)) {
        QAccessibleEvent alert(widget, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
    }
}

// A text the widget already shows is left alone: setting it again would lay out and paint the
// widget for the same pixels.
void SetWidgetText(QWidget* widget, const QString& text) {
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        if (label->text() != text) {
            label->setText(text);
            // A warning shown with other words is a new warning.
            WarningChanged(label, true);
        }
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        // Setting it moves the cursor and empties the undo history even when the text stays.
        edit->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        if (button->text() != text) {
            button->setText(text);
        }
    } else if (auto* popup = qobject_cast<QComboBox*>(widget)) {
        popup->setToolTip(text);
    } else if (widget != nullptr) {
        widget->setWindowTitle(text);
    }
}

QString WidgetText(const QWidget* widget) {
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        return label->text();
    }
    if (const auto* edit = qobject_cast<const QLineEdit*>(widget)) {
        return edit->text();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        return button->text();
    }
    return widget != nullptr ? widget->windowTitle() : QString();
}

void SetAlignment(QWidget* widget, Qt::Alignment alignment) {
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setAlignment(alignment);
    } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setAlignment(alignment);
    } else if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
        bar->setAlignment(alignment);
    }
}

struct Range {
    SInt32 minimum;
    SInt32 maximum;
};

Range RangeOf(ControlRef control) {
    QWidget* widget = WidgetOf(control);
    if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
        return {bar->minimum(), bar->maximum()};
    }
    if (auto* slider = qobject_cast<QAbstractSlider*>(widget)) {
        return {slider->minimum(), slider->maximum()};
    }
    if (auto* popup = qobject_cast<QComboBox*>(widget)) {
        return {popup->count() > 0 ? 1 : 0, static_cast<SInt32>(popup->count())};
    }
    if (auto* check = qobject_cast<QCheckBox*>(widget)) {
        return {0, check->isTristate() ? 2 : 1};
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget); button && button->isCheckable()) {
        return {0, 1};
    }
    return {control->minimum, control->maximum};
}

void SetRange(ControlRef control, SInt32 minimum, SInt32 maximum) {
    QWidget* widget = WidgetOf(control);
    if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
        bar->setRange(minimum, std::max(minimum, maximum));
    } else if (auto* slider = qobject_cast<QAbstractSlider*>(widget)) {
        slider->setRange(minimum, std::max(minimum, maximum));
    } else {
        control->minimum = minimum;
        control->maximum = std::max(minimum, maximum);
        control->value = std::clamp(control->value, control->minimum, control->maximum);
    }
}

}  // namespace

OSStatus GetControlByID(WindowRef window, const ControlID* id, ControlRef* outControl) {
    if (window == nullptr || id == nullptr || outControl == nullptr) {
        return paramErr;
    }
    for (auto& control : window->controls) {
        if (control->id.signature == id->signature && control->id.id == id->id &&
            control->widget != nullptr) {
            *outControl = control.get();
            return noErr;
        }
    }
    return errUnknownControl;
}

EventTargetRef GetControlEventTarget(ControlRef control) {
    return control != nullptr ? &control->target : nullptr;
}

OSStatus SetControlTitleWithCFString(ControlRef control, CFStringRef title) {
    QWidget* widget = WidgetOf(control);
    if (widget == nullptr || title == nullptr) {
        return paramErr;
    }
    SetWidgetText(widget, kaplatform::gui::QStringFromCFString(title));
    return noErr;
}

OSErr SetControlData(ControlRef control, ControlPartCode, ResType tagName, Size size,
                     const void* data) {
    QWidget* widget = WidgetOf(control);
    if (widget == nullptr || data == nullptr) {
        return paramErr;
    }
    if (tagName == kControlEditTextCFStringTag) {
        if (size != static_cast<Size>(sizeof(CFStringRef))) {
            return errDataSizeMismatch;
        }
        CFStringRef text = *static_cast<const CFStringRef*>(data);
        SetWidgetText(widget, kaplatform::gui::QStringFromCFString(text));
        return noErr;
    }
    return errDataNotSupported;
}

OSErr GetControlData(ControlRef control, ControlPartCode, ResType tagName, Size bufferSize,
                     void* buffer, Size* outActualSize) {
    QWidget* widget = WidgetOf(control);
    if (widget == nullptr) {
        return paramErr;
    }
    if (tagName == kControlEditTextCFStringTag) {
        if (outActualSize != nullptr) {
            *outActualSize = sizeof(CFStringRef);
        }
        if (buffer == nullptr) {
            return noErr;
        }
        if (bufferSize != static_cast<Size>(sizeof(CFStringRef))) {
            return errDataSizeMismatch;
        }
        *static_cast<CFStringRef*>(buffer) = kaplatform::gui::CreateCFString(WidgetText(widget));
        return noErr;
    }
    if (tagName == kControlPopupButtonMenuHandleTag && control->popupMenu != nullptr) {
        if (outActualSize != nullptr) {
            *outActualSize = sizeof(MenuRef);
        }
        if (buffer == nullptr) {
            return noErr;
        }
        if (bufferSize != static_cast<Size>(sizeof(MenuRef))) {
            return errDataSizeMismatch;
        }
        *static_cast<MenuRef*>(buffer) = control->popupMenu.get();
        return noErr;
    }
    return errDataNotSupported;
}

OSStatus EnableControl(ControlRef control) {
    QWidget* widget = WidgetOf(control);
    if (widget == nullptr) {
        return paramErr;
    }
    widget->setEnabled(true);
    return noErr;
}

OSStatus DisableControl(ControlRef control) {
    QWidget* widget = WidgetOf(control);
    if (widget == nullptr) {
        return paramErr;
    }
    widget->setEnabled(false);
    return noErr;
}

OSStatus HIViewSimulateClick(ControlRef control, ControlPartCode partToClick, UInt32 /*modifiers*/,
                             ControlPartCode* outPartCode) {
    QWidget* widget = WidgetOf(control);
    if (outPartCode != nullptr) {
        *outPartCode = kControlNoPart;
    }
    if (widget == nullptr) {
        return paramErr;
    }
    auto* button = qobject_cast<QAbstractButton*>(widget);
    if (button == nullptr || !button->isEnabled() || !button->isVisible()) {
        return noErr;
    }
    button->click();
    if (outPartCode != nullptr) {
        *outPartCode = partToClick;
    }
    return noErr;
}

Boolean IsControlEnabled(ControlRef control) {
    QWidget* widget = WidgetOf(control);
    return widget != nullptr && widget->isEnabled();
}

OSErr SetControlVisibility(ControlRef control, Boolean visible, Boolean /*draw*/) {
    QWidget* widget = WidgetOf(control);
    if (widget == nullptr) {
        return paramErr;
    }
    // Qt paints a control that becomes visible with its window's next paint, so the redraw
    // asked for needs nothing more; one that was already visible looks the same.
    if (widget->isHidden() == (visible != 0)) {
        widget->setVisible(visible != 0);
        WarningChanged(widget, visible != 0);
    }
    return noErr;
}

Boolean IsControlVisible(ControlRef control) {
    // Whether the control itself is shown, even while its window is not.
    QWidget* widget = WidgetOf(control);
    return widget != nullptr && !widget->isHidden();
}

void SetControl32BitValue(ControlRef control, SInt32 value) {
    QWidget* widget = WidgetOf(control);
    if (widget == nullptr) {
        return;
    }
    Range range = RangeOf(control);
    value = std::clamp(value, range.minimum, std::max(range.minimum, range.maximum));
    if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
        bar->setValue(value);
    } else if (auto* slider = qobject_cast<QAbstractSlider*>(widget)) {
        slider->setValue(value);
    } else if (auto* popup = qobject_cast<QComboBox*>(widget)) {
        popup->setCurrentIndex(value - 1);
    } else if (auto* check = qobject_cast<QCheckBox*>(widget)) {
        check->setCheckState(value == 0 ? Qt::Unchecked
                                        : (value == 2 ? Qt::PartiallyChecked : Qt::Checked));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget);
               button && button->isCheckable()) {
        button->setChecked(value != 0);
    } else {
        control->value = value;
    }
}

SInt32 GetControl32BitValue(ControlRef control) {
    QWidget* widget = WidgetOf(control);
    if (widget == nullptr) {
        return 0;
    }
    if (auto* bar = qobject_cast<QProgressBar*>(widget)) {
        return bar->value() < bar->minimum() ? bar->minimum() : bar->value();
    }
    if (auto* slider = qobject_cast<QAbstractSlider*>(widget)) {
        return slider->value();
    }
    if (auto* popup = qobject_cast<QComboBox*>(widget)) {
        return popup->currentIndex() + 1;
    }
    if (auto* check = qobject_cast<QCheckBox*>(widget)) {
        switch (check->checkState()) {
            case Qt::Unchecked:
                return 0;
            case Qt::PartiallyChecked:
                return 2;
            default:
                return 1;
        }
    }
    if (auto* button = qobject_cast<QAbstractButton*>(widget); button && button->isCheckable()) {
        return button->isChecked() ? 1 : 0;
    }
    return control->value;
}

void SetControlMaximum(ControlRef control, SInt16 maximum) {
    if (WidgetOf(control) != nullptr) {
        SetRange(control, std::min<SInt32>(RangeOf(control).minimum, maximum), maximum);
    }
}

void SetControlMinimum(ControlRef control, SInt16 minimum) {
    if (WidgetOf(control) != nullptr) {
        SetRange(control, minimum, std::max<SInt32>(RangeOf(control).maximum, minimum));
    }
}

SInt16 GetControlMaximum(ControlRef control) {
    return WidgetOf(control) != nullptr ? static_cast<SInt16>(RangeOf(control).maximum) : 0;
}

SInt16 GetControlMinimum(ControlRef control) {
    return WidgetOf(control) != nullptr ? static_cast<SInt16>(RangeOf(control).minimum) : 0;
}

// Every change of a widget is painted with its window's next paint, which follows as soon as
// the running handler returns to the event loop; painting at once as well would paint the
// same pixels twice, and painting an unchanged control changes nothing on screen.
void Draw1Control(ControlRef /*control*/) {}

OSErr SetControlFontStyle(ControlRef control, const ControlFontStyleRec* style) {
    QWidget* widget = WidgetOf(control);
    if (widget == nullptr || style == nullptr) {
        return paramErr;
    }
    if (style->flags == 0) {
        widget->setPalette(QPalette());
        widget->setFont(QFont());
        widget->setAutoFillBackground(false);
        SetAlignment(widget, AlignmentFrom(teFlushDefault));
        return noErr;
    }
    if (style->flags & (kControlUseFaceMask | kControlUseSizeMask)) {
        QFont font = widget->font();
        if (style->flags & kControlUseFaceMask) {
            font.setBold(style->style & bold);
            font.setItalic(style->style & italic);
            font.setUnderline(style->style & underline);
            font.setStretch(style->style & condense ? QFont::Condensed
                            : style->style & extend ? QFont::Expanded
                                                    : QFont::Unstretched);
        }
        if ((style->flags & kControlUseSizeMask) && style->size > 0) {
            font.setPointSize(style->size);
        }
        widget->setFont(font);
    }
    if (style->flags & (kControlUseForeColorMask | kControlUseBackColorMask)) {
        QPalette palette = widget->palette();
        if (style->flags & kControlUseForeColorMask) {
            widget->setProperty(kWarningProperty, IsWarningColor(style->foreColor));
            QColor color = ColorFrom(style->foreColor);
            for (QPalette::ColorRole role :
                 {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) {
                palette.setColor(role, color);
            }
        }
        if (style->flags & kControlUseBackColorMask) {
            QColor color = ColorFrom(style->backColor);
            palette.setColor(QPalette::Window, color);
            palette.setColor(QPalette::Base, color);
            palette.setColor(QPalette::Button, color);
            widget->setAutoFillBackground(true);
        }
        widget->setPalette(palette);
        if (style->flags & kControlUseForeColorMask) {
            DescribeWarnings(widget->window());
            WarningChanged(widget, true);
        }
    }
    if (style->flags & kControlUseJustMask) {
        SetAlignment(widget, AlignmentFrom(style->just));
    }
    return noErr;
}

void SetControlAction(ControlRef control, ControlActionUPP action) {
    if (control != nullptr) {
        control->action = action;
    }
}

void SetControlReference(ControlRef control, SInt32 data) {
    if (control != nullptr) {
        control->reference = data;
    }
}

SInt32 GetControlReference(ControlRef control) {
    return control != nullptr ? control->reference : 0;
}
