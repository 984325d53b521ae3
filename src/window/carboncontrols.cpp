#include "carboncontrols.h"

#include "ConsistencyCheck.h"

namespace {

constexpr const char* kModule = "macclasses/carboncontrols";
constexpr const char* kBoundCheck = "_controlRef != NULL";

// Windows Latin-1 leaves five byte values unassigned; such a byte must not leave a stale
// text on screen, so it is taken as ISO Latin-1 instead, which assigns every byte.
CFStringRef CreateLatin1String(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    CFStringRef string =
        CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingWindowsLatin1);
    if (string == nullptr) {
        string = CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingISOLatin1);
    }
    return string;
}

void SetEditText(ControlRef control, ControlPartCode part, const char* text) {
    CFStringRef string = CreateLatin1String(text);
    if (string == nullptr) {
        return;
    }
    SetControlData(control, part, kControlEditTextCFStringTag, sizeof(CFStringRef), &string);
    CFRelease(string);
}

void ApplyFontStyle(ControlRef control, const ControlFontStyleRec& style) {
    SetControlFontStyle(control, &style);
}

}  // namespace

CControl::CControl() : _controlRef(nullptr) {}

OSStatus CControl::Init(ControlID id, WindowRef window) {
    _id = id;
    _window = window;
    return GetControlByID(_window, &_id, &_controlRef);
}

void CControl::SetTitle(const char* title) {
    CheckConsistency(_controlRef != nullptr, kModule, 27, kBoundCheck);
    CFStringRef string = CreateLatin1String(title);
    if (string == nullptr) {
        return;
    }
    SetControlTitleWithCFString(_controlRef, string);
    CFRelease(string);
}

void CControl::SetText(const char* text) {
    CheckConsistency(_controlRef != nullptr, kModule, 35, kBoundCheck);
    SetEditText(_controlRef, kControlEditTextPart, text);
    Draw();
}

void CControl::Enable(bool enable) {
    CheckConsistency(_controlRef != nullptr, kModule, 46, kBoundCheck);
    if (enable) {
        EnableControl(_controlRef);
    } else {
        DisableControl(_controlRef);
    }
}

void CControl::Disable() {
    CheckConsistency(_controlRef != nullptr, kModule, 60, kBoundCheck);
    DisableControl(_controlRef);
}

void CControl::SetVisibility(Boolean visible) {
    CheckConsistency(_controlRef != nullptr, kModule, 67, kBoundCheck);
    SetControlVisibility(_controlRef, visible, true);
}

void CControl::SetValue(SInt32 value) {
    CheckConsistency(_controlRef != nullptr, kModule, 73, kBoundCheck);
    SetControl32BitValue(_controlRef, value);
}

SInt32 CControl::GetValue() {
    CheckConsistency(_controlRef != nullptr, kModule, 80, kBoundCheck);
    return GetControl32BitValue(_controlRef);
}

void CControl::SetMaximum(SInt16 max) {
    CheckConsistency(_controlRef != nullptr, kModule, 87, kBoundCheck);
    SetControlMaximum(_controlRef, max);
}

void CControl::SetMinimum(SInt16 min) {
    CheckConsistency(_controlRef != nullptr, kModule, 93, kBoundCheck);
    SetControlMinimum(_controlRef, min);
}

SInt16 CControl::GetMaximum() {
    CheckConsistency(_controlRef != nullptr, kModule, 100, kBoundCheck);
    return GetControlMaximum(_controlRef);
}

SInt16 CControl::GetMinimum() {
    CheckConsistency(_controlRef != nullptr, kModule, 106, kBoundCheck);
    return GetControlMinimum(_controlRef);
}

void CControl::Draw() {
    CheckConsistency(_controlRef != nullptr, kModule, 113, kBoundCheck);
    Draw1Control(_controlRef);
}

void CControl::SetFontControlStyle(SInt16 size, SInt16 justify, RGBColor foreColor) {
    CheckConsistency(_controlRef != nullptr, kModule, 120, kBoundCheck);
    ControlFontStyleRec style{};
    style.flags = kControlUseSizeMask | kControlUseForeColorMask | kControlUseJustMask;
    style.size = size;
    style.just = justify;
    style.foreColor = foreColor;
    ApplyFontStyle(_controlRef, style);
}

void CControl::SetFontSize(SInt16 size) {
    CheckConsistency(_controlRef != nullptr, kModule, 133, kBoundCheck);
    ControlFontStyleRec style{};
    style.flags = kControlUseSizeMask;
    style.size = size;
    ApplyFontStyle(_controlRef, style);
}

void CControl::SetFontStyle(SInt16 style) {
    CheckConsistency(_controlRef != nullptr, kModule, 143, kBoundCheck);
    ControlFontStyleRec record{};
    record.flags = kControlUseFaceMask;
    record.style = style;
    ApplyFontStyle(_controlRef, record);
}

void CControl::SetFontForeColor(RGBColor color) {
    CheckConsistency(_controlRef != nullptr, kModule, 152, kBoundCheck);
    ControlFontStyleRec style{};
    style.flags = kControlUseForeColorMask;
    style.foreColor = color;
    ApplyFontStyle(_controlRef, style);
}

void CControl::SetFontBackColor(RGBColor color) {
    CheckConsistency(_controlRef != nullptr, kModule, 162, kBoundCheck);
    ControlFontStyleRec style{};
    style.flags = kControlUseBackColorMask;
    style.backColor = color;
    ApplyFontStyle(_controlRef, style);
}

void CControl::SetFontJustification(SInt16 justify) {
    CheckConsistency(_controlRef != nullptr, kModule, 173, kBoundCheck);
    ControlFontStyleRec style{};
    style.flags = kControlUseJustMask;
    style.just = justify;
    ApplyFontStyle(_controlRef, style);
}

void CControl::SetupEventHandler(UInt32 eventKind, EventHandlerUPP eventHandler, void* eventData) {
    EventTypeSpec eventType = {kEventClassControl, eventKind};
    InstallEventHandler(GetControlEventTarget(_controlRef), eventHandler, 1, &eventType, eventData,
                        nullptr);
}

void CControl::SetAction(ControlActionUPP controlActionUPP) {
    SetControlAction(_controlRef, controlActionUPP);
}

void CControl::SetReference(SInt32 data) {
    SetControlReference(_controlRef, data);
}

SInt32 CControl::GetReference() {
    return GetControlReference(_controlRef);
}

MenuRef CPopupControl::GetMenuHandle() {
    CheckConsistency(_controlRef != nullptr, kModule, 214, kBoundCheck);
    MenuRef menu = nullptr;
    Size actualSize = 0;
    GetControlData(_controlRef, kControlMenuPart, kControlPopupButtonMenuHandleTag, sizeof(MenuRef),
                   &menu, &actualSize);
    return menu;
}

void CCheckBox::Check() {
    CheckConsistency(_controlRef != nullptr, kModule, 230, kBoundCheck);
    SetValue(1);
}

void CCheckBox::UnCheck() {
    CheckConsistency(_controlRef != nullptr, kModule, 236, kBoundCheck);
    SetValue(0);
}

bool CCheckBox::IsChecked() {
    CheckConsistency(_controlRef != nullptr, kModule, 242, kBoundCheck);
    return GetValue() == 1;
}

// Taken by value as callers of the library expect.
void CEdit::SetValue(std::string editString) {  // NOLINT(performance-unnecessary-value-param)
    SetEditText(_controlRef, kControlEntireControl, editString.c_str());
}

void CEdit::SetValue(const char* charStringValue) {
    SetEditText(_controlRef, kControlEntireControl, charStringValue);
}

void CEdit::GetValue(std::string& stringValue) {
    CFStringRef string = nullptr;
    GetControlData(_controlRef, kControlEntireControl, kControlEditTextCFStringTag,
                   sizeof(CFStringRef), &string, nullptr);
    char buffer[10] = {};
    if (string == nullptr) {
        stringValue.clear();
        return;
    }
    if (!CFStringGetCString(string, buffer, 9, kCFStringEncodingWindowsLatin1)) {
        buffer[0] = '\0';
    }
    CFRelease(string);
    stringValue = buffer;
}

CMenu::CMenu(MenuRef handle) : _handle(handle) {}

void CMenu::Init(const std::string menuItems[]) {
    Reset();
    for (int index = 0; !menuItems[index].empty(); ++index) {
        Append(menuItems[index].c_str());
    }
}

void CMenu::Reset() {
    UInt16 count = CountMenuItems(_handle);
    for (UInt16 index = 0; index < count; ++index) {
        DeleteMenuItem(_handle, 1);
    }
}

void CMenu::Append(const char* menuString) {
    Str255 pascalString;
    CopyCStringToPascal(menuString, pascalString);
    AppendMenu(_handle, pascalString);
}

void CMenu::Append(const std::string& menuString) {
    Append(menuString.c_str());
}

void CMenu::Append(CFStringRef menuString) {
    AppendMenuItemTextWithCFString(_handle, menuString, 0, 0, nullptr);
}

void CMenu::Append(ConstStr255Param) {}

UInt16 CMenu::CountItems() {
    return CountMenuItems(_handle);
}
