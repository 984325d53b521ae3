// The control wrappers on real widgets: binding, texts in Windows Latin-1, state, values,
// font style, events, popups, check boxes, edit fields and menus, and the binding checks.
#include "carboncontrols.h"

#include "GuiTestSupport.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>

using namespace katest;

namespace {

class WrapperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        IBNibRef nib = nullptr;
        ASSERT_EQ(noErr, CreateNibReference(CFSTR("test"), &nib));
        ASSERT_EQ(noErr, CreateWindowFromNib(nib, CFSTR("Controls"), &_window));
        DisposeNibReference(nib);
        ShowWindow(_window);
    }
    void TearDown() override { DisposeWindow(_window); }

    template <typename Wrapper = CControl>
    Wrapper Bound(SInt32 id) {
        Wrapper control;
        EXPECT_EQ(noErr, control.Init({'test', id}, _window));
        return control;
    }

    WindowRef _window = nullptr;
};

}  // namespace

TEST_F(WrapperTest, InitFindsTheControlByItsWholeIdentifier) {
    CControl label;
    EXPECT_EQ(nullptr, label.GetControlRef());
    EXPECT_EQ(noErr, label.Init({'test', 4}, _window));
    EXPECT_EQ("Label", qobject_cast<QLabel*>(WidgetOf(label.GetControlRef()))->text());

    CControl other;
    EXPECT_EQ(noErr, other.Init({'othr', 4}, _window));
    EXPECT_EQ("Other", qobject_cast<QLabel*>(WidgetOf(other))->text());

    CControl missing;
    EXPECT_EQ(errUnknownControl, missing.Init({'test', 42}, _window));
    EXPECT_EQ(nullptr, static_cast<ControlRef>(missing));
}

TEST_F(WrapperTest, TextsAndTitlesAreWindowsLatin1) {
    CControl label = Bound(4);
    label.SetText("Caf\xE9 \x80 5");  // e acute, euro sign
    EXPECT_EQ(QString::fromUtf8("Caf\xC3\xA9 \xE2\x82\xAC 5"),
              qobject_cast<QLabel*>(WidgetOf(label))->text());
    label.SetText("");
    EXPECT_EQ("", qobject_cast<QLabel*>(WidgetOf(label))->text());

    // A byte Windows Latin-1 leaves unassigned still replaces the old text.
    label.SetText("A\x81Z");
    EXPECT_EQ(QString::fromUtf8("A\xC2\x81Z"), qobject_cast<QLabel*>(WidgetOf(label))->text());

    CControl button = Bound(5);
    button.SetTitle("Downgrade \xAB\xBB");
    EXPECT_EQ(QString::fromUtf8("Downgrade \xC2\xAB\xC2\xBB"),
              qobject_cast<QPushButton*>(WidgetOf(button))->text());
}

TEST_F(WrapperTest, EnableDisableAndVisibility) {
    CControl button = Bound(5);
    button.Disable();
    EXPECT_FALSE(IsControlEnabled(button));
    button.Enable(true);
    EXPECT_TRUE(IsControlEnabled(button));
    button.Enable(false);
    EXPECT_FALSE(IsControlEnabled(button)) << "Enable(false) disables";

    CControl label = Bound(4);
    label.SetVisibility(0);
    EXPECT_FALSE(IsControlVisible(label));
    EXPECT_TRUE(WidgetOf(label)->isHidden());
    label.SetVisibility(1);
    EXPECT_TRUE(IsControlVisible(label));
    EXPECT_TRUE(WidgetOf(label)->isVisible());
}

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
  public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
    int paints = 0;
};

}  // namespace

// What the idle window does twice a second: the same texts, title and state again. None of
// it may cost a paint; a real change is painted by the window's next paint.
TEST_F(WrapperTest, OnlyChangesArePainted) {
    CControl label = Bound(4);
    CControl button = Bound(5);
    label.SetText("Ka Not Found");
    button.SetTitle("Upgrade");
    QApplication::processEvents();
    PaintCounter labelPaints(WidgetOf(label));
    PaintCounter buttonPaints(WidgetOf(button));

    for (int tick = 0; tick < 3; ++tick) {
        label.SetText("Ka Not Found");
        button.SetTitle("Upgrade");
        button.Enable(true);
        label.SetVisibility(1);
        label.Draw();
        QApplication::processEvents();
    }
    EXPECT_EQ(0, labelPaints.paints);
    EXPECT_EQ(0, buttonPaints.paints);

    label.SetText("3-5");
    EXPECT_EQ(0, labelPaints.paints) << "not painted twice: now and with the window";
    QApplication::processEvents();
    EXPECT_GE(labelPaints.paints, 1);
    EXPECT_EQ("3-5", qobject_cast<QLabel*>(WidgetOf(label))->text());

    label.SetVisibility(0);
    QApplication::processEvents();
    labelPaints.paints = 0;
    label.SetVisibility(1);
    QApplication::processEvents();
    EXPECT_GE(labelPaints.paints, 1) << "shown again, it is painted";
}

TEST_F(WrapperTest, ValuesStayWithinTheRange) {
    CControl bar = Bound(6);
    auto* progress = qobject_cast<QProgressBar*>(WidgetOf(bar));
    bar.SetValue(40);
    EXPECT_EQ(40, bar.GetValue());
    EXPECT_EQ(40, progress->value());
    bar.SetValue(100);
    EXPECT_EQ(100, progress->value());
    bar.SetValue(250);
    EXPECT_EQ(100, bar.GetValue());
    bar.SetValue(-3);
    EXPECT_EQ(0, bar.GetValue());

    bar.SetMaximum(10);
    bar.SetMinimum(2);
    EXPECT_EQ(10, bar.GetMaximum());
    EXPECT_EQ(2, bar.GetMinimum());
    EXPECT_EQ(2, bar.GetValue());

    // A control without a value of its own keeps one within the range it was given.
    CControl label = Bound(4);
    label.SetMaximum(5);
    label.SetValue(3);
    EXPECT_EQ(3, label.GetValue());
    label.SetValue(9);
    EXPECT_EQ(5, label.GetValue());
}

TEST_F(WrapperTest, FontStyleSetsOnlyWhatItsFlagsName) {
    CControl label = Bound(4);
    QWidget* widget = WidgetOf(label);
    QFont before = widget->font();

    label.SetFontForeColor({0xFFFF, 0x0000, 0x0000});
    EXPECT_EQ(QColor(Qt::red), widget->palette().color(QPalette::WindowText));
    EXPECT_EQ(before, widget->font());

    label.SetFontSize(20);
    EXPECT_EQ(20, widget->font().pointSize());
    EXPECT_EQ(QColor(Qt::red), widget->palette().color(QPalette::WindowText));

    label.SetFontStyle(bold | italic);
    EXPECT_TRUE(widget->font().bold());
    EXPECT_TRUE(widget->font().italic());
    EXPECT_EQ(20, widget->font().pointSize());

    label.SetFontJustification(teFlushRight);
    EXPECT_TRUE(qobject_cast<QLabel*>(widget)->alignment() & Qt::AlignRight);

    label.SetFontBackColor({0x0000, 0x0000, 0xFFFF});
    EXPECT_EQ(QColor(Qt::blue), widget->palette().color(QPalette::Window));
    EXPECT_TRUE(widget->autoFillBackground());

    label.SetFontControlStyle(12, teCenter, {0x0000, 0xFFFF, 0x0000});
    EXPECT_EQ(12, widget->font().pointSize());
    EXPECT_TRUE(qobject_cast<QLabel*>(widget)->alignment() & Qt::AlignHCenter);
    EXPECT_EQ(QColor(Qt::green), widget->palette().color(QPalette::WindowText));
    EXPECT_TRUE(widget->font().bold()) << "the face was not named";
}

TEST_F(WrapperTest, EventHandlerGetsTheControlHitAndTheEventData) {
    CControl button = Bound(5);
    struct Hits {
        int count = 0;
        ControlRef control = nullptr;
    } hits;
    button.SetupEventHandler(
        kEventControlHit,
        [](EventHandlerCallRef, EventRef event, void* data) -> OSStatus {
            auto* recorded = static_cast<Hits*>(data);
            ++recorded->count;
            GetEventParameter(event, kEventParamDirectObject, typeControlRef, nullptr,
                              sizeof(ControlRef), nullptr, &recorded->control);
            return noErr;
        },
        &hits);
    QTest::mouseClick(WidgetOf(button), Qt::LeftButton);
    EXPECT_EQ(1, hits.count);
    EXPECT_EQ(button.GetControlRef(), hits.control);

    button.Disable();
    QTest::mouseClick(WidgetOf(button), Qt::LeftButton);
    EXPECT_EQ(1, hits.count) << "a disabled button cannot be clicked";
}

TEST_F(WrapperTest, ReferenceAndActionAreKeptWithTheControl) {
    CControl button = Bound(5);
    button.SetReference(-77);
    EXPECT_EQ(-77, button.GetReference());
    static int actions = 0;
    actions = 0;
    button.SetAction([](ControlRef, ControlPartCode part) {
        EXPECT_EQ(kControlButtonPart, part);
        ++actions;
    });
    QTest::mouseClick(WidgetOf(button), Qt::LeftButton);
    EXPECT_EQ(1, actions);
}

TEST_F(WrapperTest, CheckBoxIsCheckedOnlyAtValueOne) {
    CCheckBox check = Bound<CCheckBox>(2);
    check.Check();
    EXPECT_TRUE(check.IsChecked());
    EXPECT_TRUE(qobject_cast<QCheckBox*>(WidgetOf(check))->isChecked());
    check.SetValue(2);
    EXPECT_EQ(2, check.GetValue());
    EXPECT_FALSE(check.IsChecked()) << "mixed is not checked";
    check.UnCheck();
    EXPECT_FALSE(check.IsChecked());
    EXPECT_EQ(0, check.GetValue());
}

TEST_F(WrapperTest, EditFieldHoldsUpToEightCharacters) {
    CEdit edit = Bound<CEdit>(1);
    std::string value = "unchanged";
    edit.GetValue(value);
    EXPECT_EQ("initial", value);

    edit.SetValue(std::string("12345678"));
    edit.GetValue(value);
    EXPECT_EQ("12345678", value);

    edit.SetValue("na\xEFve");
    EXPECT_EQ(QString::fromUtf8("na\xC3\xAFve"), qobject_cast<QLineEdit*>(WidgetOf(edit))->text());
    edit.GetValue(value);
    EXPECT_EQ("na\xEFve", value);

    edit.SetValue("123456789");
    edit.GetValue(value);
    EXPECT_EQ("", value) << "more than fits is not half read";
}

TEST_F(WrapperTest, PopupMenuAndMenuWrapper) {
    CPopupControl popup = Bound<CPopupControl>(3);
    MenuRef menu = popup.GetMenuHandle();
    ASSERT_NE(nullptr, menu);
    auto* combo = qobject_cast<QComboBox*>(WidgetOf(popup));

    CMenu wrapper(menu);
    EXPECT_EQ(2, wrapper.CountItems());
    const std::string items[] = {"Alpha", "Be\xE9ta", "", "Never"};
    wrapper.Init(items);
    ASSERT_EQ(2, combo->count());
    EXPECT_EQ("Alpha", combo->itemText(0));
    EXPECT_EQ(QString::fromUtf8("Be\xC3\xA9ta"), combo->itemText(1));

    wrapper.Append(CFSTR("Gamma"));
    wrapper.Append(std::string(300, 'x'));
    EXPECT_EQ(4, wrapper.CountItems());
    EXPECT_EQ(255, combo->itemText(3).size()) << "length-prefixed strings end at 255";

    const std::string none[] = {""};
    wrapper.Init(none);
    EXPECT_EQ(0, wrapper.CountItems());

    // The popup's value is its chosen item, counted from 1.
    wrapper.Init(items);
    popup.SetValue(2);
    EXPECT_EQ(1, combo->currentIndex());
    EXPECT_EQ(2, popup.GetValue());

    CPopupControl notPopup = Bound<CPopupControl>(4);
    EXPECT_EQ(nullptr, notPopup.GetMenuHandle());
}

TEST(MenuWrapperTest, WorksOnAMenuOfTheMenuBar) {
    QMenu qmenu;
    qmenu.addAction("One");
    qmenu.addAction("Two");
    CMenu menu(kaplatform::gui::MenuRefFor(&qmenu));
    EXPECT_EQ(2, menu.CountItems());
    menu.Reset();
    EXPECT_EQ(0, menu.CountItems());
    menu.Append("Three");
    ASSERT_EQ(1, qmenu.actions().size());
    EXPECT_EQ("Three", qmenu.actions()[0]->text());
}

// An unbound wrapper stops the program at the first operation that checks its binding.
struct UnboundCase {
    const char* name;
    void (*operation)();
    unsigned line;
};

void PrintTo(const UnboundCase& unbound, std::ostream* out) {
    *out << unbound.name;
}

class UnboundWrapperDeathTest : public ::testing::TestWithParam<UnboundCase> {};

TEST_P(UnboundWrapperDeathTest, StopsWithTheCheckOfItsLine) {
    const UnboundCase& unbound = GetParam();
    // Qt may have said something of its own before (at start-up).
    std::string expected = "(^|\n)macclasses/carboncontrols:" + std::to_string(unbound.line) +
                           ": failed assertion `_controlRef != NULL'\n$";
    EXPECT_DEATH(unbound.operation(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCheckedOperation, UnboundWrapperDeathTest,
    ::testing::Values(
        UnboundCase{"SetTitle", [] { CControl().SetTitle("t"); }, 27},
        UnboundCase{"SetText", [] { CControl().SetText("t"); }, 35},
        UnboundCase{"Enable", [] { CControl().Enable(true); }, 46},
        UnboundCase{"EnableFalse", [] { CControl().Enable(false); }, 46},
        UnboundCase{"Disable", [] { CControl().Disable(); }, 60},
        UnboundCase{"SetVisibility", [] { CControl().SetVisibility(1); }, 67},
        UnboundCase{"SetValue", [] { CControl().SetValue(1); }, 73},
        UnboundCase{"GetValue", [] { CControl().GetValue(); }, 80},
        UnboundCase{"SetMaximum", [] { CControl().SetMaximum(1); }, 87},
        UnboundCase{"SetMinimum", [] { CControl().SetMinimum(1); }, 93},
        UnboundCase{"GetMaximum", [] { CControl().GetMaximum(); }, 100},
        UnboundCase{"GetMinimum", [] { CControl().GetMinimum(); }, 106},
        UnboundCase{"Draw", [] { CControl().Draw(); }, 113},
        UnboundCase{"SetFontControlStyle", [] { CControl().SetFontControlStyle(1, 0, {}); }, 120},
        UnboundCase{"SetFontSize", [] { CControl().SetFontSize(1); }, 133},
        UnboundCase{"SetFontStyle", [] { CControl().SetFontStyle(1); }, 143},
        UnboundCase{"SetFontForeColor", [] { CControl().SetFontForeColor({}); }, 152},
        UnboundCase{"SetFontBackColor", [] { CControl().SetFontBackColor({}); }, 162},
        UnboundCase{"SetFontJustification", [] { CControl().SetFontJustification(0); }, 173},
        UnboundCase{"GetMenuHandle", [] { CPopupControl().GetMenuHandle(); }, 214},
        UnboundCase{"Check", [] { CCheckBox().Check(); }, 230},
        UnboundCase{"UnCheck", [] { CCheckBox().UnCheck(); }, 236},
        UnboundCase{"IsChecked", [] { CCheckBox().IsChecked(); }, 242}),
    [](const ::testing::TestParamInfo<UnboundCase>& info) { return info.param.name; });

TEST(UnboundWrapperTest, UncheckedOperationsPassTheNullHandleOn) {
    CControl control;
    control.SetupEventHandler(kEventControlHit, nullptr, nullptr);
    control.SetAction(nullptr);
    control.SetReference(5);
    EXPECT_EQ(0, control.GetReference());
    CEdit edit;
    edit.SetValue("text");
    std::string value = "kept?";
    edit.GetValue(value);
    EXPECT_EQ("", value);
}
