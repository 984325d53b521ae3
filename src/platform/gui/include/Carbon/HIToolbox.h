// The HIToolbox subset: interface descriptions (nibs), windows, controls, menus and the
// standard alert.
#ifndef KA_PLATFORM_CARBON_HITOOLBOX_H
#define KA_PLATFORM_CARBON_HITOOLBOX_H

#include <Carbon/CarbonCore.h>
#include <Carbon/CarbonEvents.h>
#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

struct OpaqueWindowPtr;
struct OpaqueControlRef;
struct OpaqueIBNibRef;
struct OpaqueDialogPtr;

using WindowRef = OpaqueWindowPtr*;
using ControlRef = OpaqueControlRef*;
using IBNibRef = OpaqueIBNibRef*;
using DialogRef = OpaqueDialogPtr*;

// Interface descriptions ---------------------------------------------------------------------
enum : OSStatus {
    kIBCarbonRuntimeCantFindNibFile = -10960,
    kIBCarbonRuntimeObjectNotOfRequestedType = -10961,
    kIBCarbonRuntimeCantFindObject = -10962,
};
OSStatus CreateNibReference(CFStringRef nibName, IBNibRef* outNibRef);
void DisposeNibReference(IBNibRef nibRef);
// Installs the named menu bar; it appears in the next window created from a description.
OSStatus SetMenuBarFromNib(IBNibRef nibRef, CFStringRef name);
// The window is created invisible.
OSStatus CreateWindowFromNib(IBNibRef nibRef, CFStringRef name, WindowRef* outWindow);

// Windows ------------------------------------------------------------------------------------
void ShowWindow(WindowRef window);
void HideWindow(WindowRef window);
Boolean IsWindowVisible(WindowRef window);
// Destroys the window, its controls and their event targets with all their handlers.
void DisposeWindow(WindowRef window);
EventTargetRef GetWindowEventTarget(WindowRef window);
// The frontmost visible window (the one shown last), or null when none is visible.
WindowRef FrontNonFloatingWindow();

// Controls -----------------------------------------------------------------------------------
struct ControlID {
    OSType signature;
    SInt32 id;
};
using ControlPartCode = SInt16;
enum : ControlPartCode {
    kControlNoPart = 0,
    kControlEntireControl = 0,
    kControlMenuPart = 2,
    kControlEditTextPart = 5,
    kControlButtonPart = 10,
};
enum : ResType {
    kControlEditTextCFStringTag = 'cfst',
    kControlStaticTextCFStringTag = 'cfst',
    kControlPopupButtonMenuHandleTag = 'mhan',
};
enum : OSStatus {
    errDataNotSupported = -30581,
    errUnknownControl = -30584,
    errDataSizeMismatch = -30591,
};

struct ControlFontStyleRec {
    SInt16 flags;
    SInt16 font;
    SInt16 size;
    SInt16 style;
    SInt16 mode;
    SInt16 just;
    RGBColor foreColor;
    RGBColor backColor;
};
enum : SInt16 {
    kControlUseFontMask = 0x0001,
    kControlUseFaceMask = 0x0002,
    kControlUseSizeMask = 0x0004,
    kControlUseForeColorMask = 0x0008,
    kControlUseBackColorMask = 0x0010,
    kControlUseModeMask = 0x0020,
    kControlUseJustMask = 0x0040,
};

using ControlActionProcPtr = void (*)(ControlRef theControl, ControlPartCode partCode);
using ControlActionUPP = ControlActionProcPtr;
inline ControlActionUPP NewControlActionUPP(ControlActionProcPtr userRoutine) {
    return userRoutine;
}

// errUnknownControl, and *outControl left alone, when the window has no such control.
OSStatus GetControlByID(WindowRef window, const ControlID* id, ControlRef* outControl);
// Control-hit events ('cntl', kEventControlHit) are sent here when the control is clicked;
// the window's target contains it.
EventTargetRef GetControlEventTarget(ControlRef control);
// Clicks the control as the user would: nothing happens to a disabled or hidden control.
// *outPartCode (optional) is the part hit, kControlNoPart when nothing was clicked.
OSStatus HIViewSimulateClick(ControlRef control, ControlPartCode partToClick, UInt32 modifiers,
                             ControlPartCode* outPartCode);
OSStatus SetControlTitleWithCFString(ControlRef control, CFStringRef title);
// Tag 'cfst' carries a CFStringRef (GetControlData returns a new one the caller releases);
// tag 'mhan' a popup button's MenuRef.
OSErr SetControlData(ControlRef control, ControlPartCode part, ResType tagName, Size size,
                     const void* data);
OSErr GetControlData(ControlRef control, ControlPartCode part, ResType tagName, Size bufferSize,
                     void* buffer, Size* outActualSize);
OSStatus EnableControl(ControlRef control);
OSStatus DisableControl(ControlRef control);
Boolean IsControlEnabled(ControlRef control);
OSErr SetControlVisibility(ControlRef control, Boolean visible, Boolean draw);
Boolean IsControlVisible(ControlRef control);
// The value is kept within the control's minimum and maximum.
void SetControl32BitValue(ControlRef control, SInt32 value);
SInt32 GetControl32BitValue(ControlRef control);
void SetControlMaximum(ControlRef control, SInt16 maximum);
void SetControlMinimum(ControlRef control, SInt16 minimum);
SInt16 GetControlMaximum(ControlRef control);
SInt16 GetControlMinimum(ControlRef control);
void Draw1Control(ControlRef control);
// flags 0 restores the control's own font and colours.
OSErr SetControlFontStyle(ControlRef control, const ControlFontStyleRec* style);
// Called with kControlButtonPart when a button is clicked, before its control-hit event.
void SetControlAction(ControlRef control, ControlActionUPP action);
void SetControlReference(ControlRef control, SInt32 data);
SInt32 GetControlReference(ControlRef control);

// Menus --------------------------------------------------------------------------------------
using MenuItemAttributes = UInt32;
UInt16 CountMenuItems(MenuRef menu);
void DeleteMenuItem(MenuRef menu, MenuItemIndex item);
// Appends one item whose text is the length-prefixed string (Latin-1); "-" is a separator.
void AppendMenu(MenuRef menu, ConstStr255Param data);
OSStatus AppendMenuItemTextWithCFString(MenuRef menu, CFStringRef text,
                                        MenuItemAttributes attributes, MenuCommand commandID,
                                        MenuItemIndex* outNewItem);

// Standard alerts ----------------------------------------------------------------------------
using DialogItemIndex = SInt16;
using AlertType = SInt16;
enum : AlertType {
    kAlertStopAlert = 0,
    kAlertNoteAlert = 1,
    kAlertCautionAlert = 2,
    kAlertPlainAlert = 3,
};
enum : DialogItemIndex {
    kAlertStdAlertOKButton = 1,
    kAlertStdAlertCancelButton = 2,
    kAlertStdAlertOtherButton = 3,
    kAlertStdAlertHelpButton = 4,
};
enum : UInt32 { kStdCFStringAlertVersionOne = 1 };
enum : UInt16 {
    kWindowDefaultPosition = 0,
    kWindowCenterMainScreen = 0x280A,
    kWindowCenterParentWindowScreen = 0x680A,
};
// Stand for the platform's own "OK" and "Cancel" titles.
// NOLINTBEGIN(performance-no-int-to-ptr): a marker value, never dereferenced
inline const CFStringRef kAlertDefaultOKText =
    reinterpret_cast<CFStringRef>(static_cast<std::intptr_t>(-1));
inline const CFStringRef kAlertDefaultCancelText =
    reinterpret_cast<CFStringRef>(static_cast<std::intptr_t>(-1));
// NOLINTEND(performance-no-int-to-ptr)

struct AlertStdCFStringAlertParamRec {
    UInt32 version;
    Boolean movable;
    Boolean helpButton;
    CFStringRef defaultText;
    CFStringRef cancelText;
    CFStringRef otherText;
    SInt16 defaultButton;
    SInt16 cancelButton;
    UInt16 position;
    OptionBits flags;
};

using ModalFilterProcPtr = Boolean (*)(DialogRef dialog, EventRef event, DialogItemIndex* itemHit);
using ModalFilterUPP = ModalFilterProcPtr;

// Version 1 defaults: one default button with the standard OK title, no cancel or other
// button, default button 1, not movable, default position.
OSStatus GetStandardAlertDefaultParams(AlertStdCFStringAlertParamRec* param, UInt32 version);
// The texts are copied; the caller keeps its strings.
OSStatus CreateStandardAlert(AlertType alertType, CFStringRef error, CFStringRef explanation,
                             const AlertStdCFStringAlertParamRec* param, DialogRef* outAlert);
// Runs the alert modally (timers keep firing), stores the chosen button's index and
// disposes of the alert.
OSStatus RunStandardAlert(DialogRef alert, ModalFilterUPP filterProc, DialogItemIndex* outItemHit);

#endif
