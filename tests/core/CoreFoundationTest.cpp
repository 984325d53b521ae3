#include <CoreFoundation/CoreFoundation.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

// The bytes a string gives in an encoding, or nothing when it cannot be expressed.
std::optional<std::string> Bytes(CFStringRef string, CFStringEncoding encoding) {
    char buffer[64];
    if (!CFStringGetCString(string, buffer, sizeof buffer, encoding)) {
        return std::nullopt;
    }
    return std::string(buffer);
}

struct StringHolder {
    explicit StringHolder(const char* text, CFStringEncoding encoding)
        : string(CFStringCreateWithCString(nullptr, text, encoding)) {}
    ~StringHolder() { CFRelease(string); }
    CFStringRef string;
};

TEST(CoreFoundationTest, ObjectsLiveUntilTheirLastReleaseAndConstantsForEver) {
    SInt32 value = 7;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    EXPECT_EQ(CFRetain(number), number);
    EXPECT_EQ(CFGetRetainCount(number), 2);
    CFRelease(number);
    EXPECT_EQ(CFGetRetainCount(number), 1);
    CFRelease(number);

    CFStringRef constant = CFSTR("IOProviderClass");
    EXPECT_EQ(constant, CFSTR("IOProviderClass"));
    const CFIndex before = CFGetRetainCount(constant);
    CFRelease(constant);
    CFRelease(constant);
    EXPECT_EQ(CFGetRetainCount(constant), before);
    EXPECT_EQ(CFStringGetLength(constant), 15);
}

TEST(CoreFoundationTest, NumbersConvertOnlyWhenTheValueFits) {
    SInt32 value = 0x000A27;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
    SInt64 wide = 0;
    EXPECT_TRUE(CFNumberGetValue(number, kCFNumberSInt64Type, &wide));
    EXPECT_EQ(wide, 2599);
    SInt8 narrow = 0;
    EXPECT_FALSE(CFNumberGetValue(number, kCFNumberSInt8Type, &narrow));
    CFRelease(number);

    SInt32 negative = -192;
    CFNumberRef signedNumber = CFNumberCreate(nullptr, kCFNumberSInt32Type, &negative);
    SInt16 result = 0;
    EXPECT_TRUE(CFNumberGetValue(signedNumber, kCFNumberSInt16Type, &result));
    EXPECT_EQ(result, -192);
    CFRelease(signedNumber);
}

TEST(CoreFoundationTest, WindowsLatin1ConvertsTheWindowsRangeBothWays) {
    // 0x80 euro, 0x99 trade mark, 0xE9 e acute.
    StringHolder text("\x80 \x99 \xE9", kCFStringEncodingWindowsLatin1);
    ASSERT_NE(text.string, nullptr);
    EXPECT_EQ(CFStringGetLength(text.string), 5);
    EXPECT_EQ(Bytes(text.string, kCFStringEncodingUTF8), "\xE2\x82\xAC \xE2\x84\xA2 \xC3\xA9");
    EXPECT_EQ(Bytes(text.string, kCFStringEncodingWindowsLatin1), "\x80 \x99 \xE9");
    // ISO Latin-1 has neither the euro nor the trade mark sign.
    EXPECT_EQ(Bytes(text.string, kCFStringEncodingISOLatin1), std::nullopt);

    // Bytes Windows leaves unassigned survive a round trip as C1 controls.
    StringHolder unassigned("\x81\x8D", kCFStringEncodingWindowsLatin1);
    ASSERT_NE(unassigned.string, nullptr);
    EXPECT_EQ(Bytes(unassigned.string, kCFStringEncodingUTF8), "\xC2\x81\xC2\x8D");
    EXPECT_EQ(Bytes(unassigned.string, kCFStringEncodingWindowsLatin1), "\x81\x8D");
}

TEST(CoreFoundationTest, Utf8IsDecodedStrictly) {
    StringHolder valid("3-5 \xE2\x82\xAC \xF0\x9F\x98\x80", kCFStringEncodingUTF8);
    ASSERT_NE(valid.string, nullptr);
    EXPECT_EQ(CFStringGetLength(valid.string), 8);  // the emoji is a surrogate pair
    EXPECT_EQ(Bytes(valid.string, kCFStringEncodingUTF8), "3-5 \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(Bytes(valid.string, kCFStringEncodingWindowsLatin1), std::nullopt);

    for (const char* invalid : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xFF", "a\x80"}) {
        EXPECT_EQ(CFStringCreateWithCString(nullptr, invalid, kCFStringEncodingUTF8), nullptr)
            << invalid;
    }
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "\xE9", kCFStringEncodingASCII), nullptr);
    EXPECT_EQ(CFStringGetSystemEncoding(), kCFStringEncodingUTF8);
}

TEST(CoreFoundationTest, MacRomanUsesItsOwnTable) {
    StringHolder text("\x8E\xA5\xDB", kCFStringEncodingMacRoman);  // e acute, bullet, euro
    ASSERT_NE(text.string, nullptr);
    EXPECT_EQ(Bytes(text.string, kCFStringEncodingUTF8), "\xC3\xA9\xE2\x80\xA2\xE2\x82\xAC");
    EXPECT_EQ(Bytes(text.string, kCFStringEncodingMacRoman), "\x8E\xA5\xDB");
}

TEST(CoreFoundationTest, GetCStringNeedsRoomForTheTerminator) {
    StringHolder text("Upgrade", kCFStringEncodingUTF8);
    char buffer[8];
    EXPECT_TRUE(CFStringGetCString(text.string, buffer, 8, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "Upgrade");
    EXPECT_FALSE(CFStringGetCString(text.string, buffer, 7, kCFStringEncodingUTF8));
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(7, kCFStringEncodingUTF8), 21);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(7, kCFStringEncodingWindowsLatin1), 7);
}

TEST(CoreFoundationTest, DictionariesFindEqualKeysAndOwnTheirPairs) {
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    SInt32 first = 1;
    SInt32 second = 2;
    CFNumberRef one = CFNumberCreate(nullptr, kCFNumberSInt32Type, &first);
    CFNumberRef two = CFNumberCreate(nullptr, kCFNumberSInt32Type, &second);
    CFDictionaryAddValue(dictionary, CFSTR("Unit_Spec_ID"), one);
    EXPECT_EQ(CFGetRetainCount(one), 2);

    // A key created at run time finds the constant key with the same text.
    StringHolder key("Unit_Spec_ID", kCFStringEncodingUTF8);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, key.string), one);
    // Adding under a present key changes nothing; setting replaces.
    CFDictionaryAddValue(dictionary, key.string, two);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("Unit_Spec_ID")), one);
    CFDictionarySetValue(dictionary, key.string, two);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("Unit_Spec_ID")), two);
    EXPECT_EQ(CFGetRetainCount(one), 1);
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 1);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, CFSTR("Unit_SW_Version")), nullptr);

    CFRetain(two);
    CFRelease(dictionary);
    EXPECT_EQ(CFGetRetainCount(two), 2);
    CFRelease(two);
    CFRelease(two);
    CFRelease(one);
}

TEST(CoreFoundationTest, UuidsAreUniquePerValue) {
    CFUUIDRef uuid =
        CFUUIDGetConstantUUIDWithBytes(nullptr, 0xF4, 0xB3, 0x74, 0x8B, 0x69, 0x45, 0x11, 0xD6,
                                       0x82, 0x99, 0x00, 0x03, 0x93, 0x3F, 0x84, 0xF0);
    const CFUUIDBytes bytes = CFUUIDGetUUIDBytes(uuid);
    EXPECT_EQ(bytes.byte0, 0xF4);
    EXPECT_EQ(bytes.byte15, 0xF0);
    EXPECT_EQ(CFUUIDCreateFromUUIDBytes(nullptr, bytes), uuid);
    CFUUIDRef other =
        CFUUIDGetConstantUUIDWithBytes(nullptr, 0xF4, 0xB3, 0x74, 0x8B, 0x69, 0x45, 0x11, 0xD6,
                                       0x82, 0x99, 0x00, 0x03, 0x93, 0x3F, 0x84, 0xF1);
    EXPECT_FALSE(CFEqual(uuid, other));
    EXPECT_TRUE(CFEqual(uuid, uuid));
    EXPECT_FALSE(CFEqual(uuid, CFSTR("F4B3748B")));
}

}  // namespace
