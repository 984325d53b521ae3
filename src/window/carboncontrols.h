// Thin wrappers over one control of a window, or one menu: each operation is one platform
// call with fixed parameters, so their users never handle control handles, data tags or
// string encodings. Texts are 8-bit Windows Latin-1.
#ifndef KA_CARBONCONTROLS_H
#define KA_CARBONCONTROLS_H

#include <Carbon/Carbon.h>

#include <string>

class CControl {
  public:
    CControl();

    OSStatus Init(ControlID id, WindowRef window);

    void SetTitle(const char* title);
    virtual void SetText(const char* text);
    void Enable(bool enable);
    void Disable();
    void SetVisibility(Boolean visible);
    virtual void SetValue(SInt32 value);
    virtual SInt32 GetValue();
    void SetMaximum(SInt16 max);
    void SetMinimum(SInt16 min);
    SInt16 GetMaximum();
    SInt16 GetMinimum();
    virtual void Draw();

    void SetFontControlStyle(SInt16 size, SInt16 justify, RGBColor foreColor);
    void SetFontSize(SInt16 size);
    void SetFontStyle(SInt16 style);
    void SetFontForeColor(RGBColor color);
    void SetFontBackColor(RGBColor color);
    void SetFontJustification(SInt16 justify);

    void SetupEventHandler(UInt32 eventKind, EventHandlerUPP eventHandler, void* eventData);
    void SetAction(ControlActionUPP controlActionUPP);
    void SetReference(SInt32 data);
    SInt32 GetReference();

    ControlRef GetControlRef() const { return _controlRef; }
    operator ControlRef() const { return _controlRef; }

  protected:
    ControlRef _controlRef;
    ControlID _id;
    WindowRef _window;
};

class CPopupControl : public CControl {
  public:
    MenuRef GetMenuHandle();
};

class CCheckBox : public CControl {
  public:
    void Check();
    void UnCheck();
    bool IsChecked();
};

class CEdit : public CControl {
  public:
    using CControl::GetValue;
    using CControl::SetValue;

    void SetValue(std::string editString);
    void SetValue(const char* charStringValue);
    // At most 8 characters; empty when the field holds more or the text cannot be read.
    void GetValue(std::string& stringValue);
};

class CMenu {
  public:
    explicit CMenu(MenuRef handle);

    // menuItems ends with an empty string.
    void Init(const std::string menuItems[]);
    void Reset();
    void Append(const char* menuString);
    void Append(const std::string& menuString);
    void Append(CFStringRef menuString);
    void Append(ConstStr255Param menuString);
    UInt16 CountItems();

  protected:
    MenuRef _handle;
};

#endif
