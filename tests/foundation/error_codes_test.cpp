#include "comm/error_codes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <typeinfo>

#include "comm/base_component.h"
#include "comm/string_resource.h"

using namespace quillon::comm;

namespace {

uint32_t read32(std::span<const uint8_t> b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

template <class E> void expectRaises(int32_t code, int32_t expectedCode, const char *message) {
    try {
        CheckException(nullptr, code);
        ADD_FAILURE() << "no exception for " << code;
    } catch (const E &e) {
        EXPECT_EQ(typeid(e), typeid(E)) << "code " << code;
        EXPECT_EQ(e.code(), expectedCode) << "code " << code;
        EXPECT_STREQ(e.what(), message) << "code " << code;
    } catch (const std::exception &e) {
        ADD_FAILURE() << "code " << code << " raised " << typeid(e).name();
    }
}

} // namespace

TEST(StringTables, ErrorTableHasTheStr0Layout) {
    auto raw = FindStringResource(kErrorStrings);
    ASSERT_GE(raw.size(), 8u);
    EXPECT_EQ(std::memcmp(raw.data(), "STR0", 4), 0);
    uint32_t count = read32(raw, 4);
    EXPECT_EQ(count, 725u);
    // Texts start right after the entry table, in id order, packed.
    EXPECT_EQ(read32(raw, 8 + 4), 8708u);
    uint32_t expectedOffset = 8708;
    uint32_t previousId = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t id = read32(raw, 8 + 12 * i);
        uint32_t offset = read32(raw, 8 + 12 * i + 4);
        uint32_t length = read32(raw, 8 + 12 * i + 8);
        if (i > 0) {
            EXPECT_GT(id, previousId) << "entries sorted by ascending id";
        }
        EXPECT_EQ(offset, expectedOffset) << "id " << id;
        expectedOffset += 2 * length;
        previousId = id;
    }
    EXPECT_EQ(expectedOffset, raw.size());
    // UTF-16LE: "OK" for id 0 is 'O',0,'K',0.
    uint32_t okOffset = read32(raw, 8 + 4);
    EXPECT_EQ(raw[okOffset], 'O');
    EXPECT_EQ(raw[okOffset + 1], 0);
    EXPECT_EQ(raw[okOffset + 2], 'K');
}

TEST(StringTables, TheOtherTwoTables) {
    EXPECT_EQ(StrMgrStrings().Count(), 5u);
    EXPECT_EQ(StrMgrStrings().GetString(5), "Invalid STR0 resource");
    EXPECT_EQ(FaxStatusText(20), "Waiting for incoming call");
    EXPECT_EQ(FaxStatusText(43), "Finished");
    EXPECT_EQ(FaxStatusText(28), "Got Class 2 FHNG code");
    EXPECT_EQ(FaxStatusText(9), "") << "a code without text";
    EXPECT_EQ(FaxStatusText(44), "") << "outside 1 to 43";
    EXPECT_EQ(FaxStatusText(0), "");
}

TEST(StringTables, TextsAreKeptExactlyAsStored) {
    struct Row {
        uint32_t id;
        const char *text;
    } rows[] = {
        {13542, "Ppen change"},
        {13556, "Compltion cancel"},
        {9001, "Serivox Error"},
        {10037, "WSAEALREADY: watch out, Al is ready"},
        {2001, "ie_BadId - Specified comport doesn't exist"},
        {15501, "Time      Type      SubType       Data      OtherData"},
        {15601, "DCTS "},
        {4306, "Connected at %d baud"},
        {15742, "Character Set"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(ErrorStrings().GetString(row.id), row.text) << row.id;
    }
    EXPECT_EQ(ErrorStrings().GetString(14), "") << "absent id";
}

TEST(StringTables, ReaderRejectsBadTablesAndShortensLongTexts) {
    const uint8_t notStr0[] = {'S', 'T', 'R', '1', 0, 0, 0, 0};
    EXPECT_THROW(TStringResource(std::span<const uint8_t>(notStr0)), EStringResourceError);
    // One entry whose text runs past the end.
    const uint8_t truncated[] = {'S', 'T', 'R', '0', 1, 0, 0, 0, 1, 0,
                                 0,   0,   20,  0,   0, 0, 9, 0, 0, 0};
    EXPECT_THROW(TStringResource(std::span<const uint8_t>(truncated)), EStringResourceError);
    // An entry count far larger than the table.
    const uint8_t hugeCount[] = {'S', 'T', 'R', '0', 0xFF, 0xFF, 0xFF, 0x7F};
    EXPECT_THROW(TStringResource(std::span<const uint8_t>(hugeCount)), EStringResourceError);
    try {
        TStringResource("NO_SUCH_TABLE");
        ADD_FAILURE();
    } catch (const EStringResourceError &e) {
        EXPECT_STREQ(e.what(), "String resource not found: NO_SUCH_TABLE");
    }
    TStringResource strict(kErrorStrings, true);
    try {
        (void)strict.GetString(14);
        ADD_FAILURE();
    } catch (const EStringResourceError &e) {
        EXPECT_STREQ(e.what(), "String not found: 14");
    }
    std::string longest = ErrorStrings().GetString(10043);
    ASSERT_GT(longest.size(), 20u);
    EXPECT_EQ(ErrorStrings().GetShortString(10043, 20), longest.substr(0, 20));
}

TEST(ErrorMessages, TableTextThenPlatformTextCleaned) {
    EXPECT_EQ(ErrorMessage(-3007), "Buffer is empty");
    EXPECT_EQ(ErrorMessage(3007), "Buffer is empty");
    EXPECT_EQ(ErrorMessage(0), "OK");
    // 14 is not in the table: the platform's text for system error 14 (EFAULT here).
    std::string platformText = ErrorMessage(14);
    EXPECT_FALSE(platformText.empty());
    EXPECT_EQ(platformText, std::string(strerrordesc_np(14)));
    EXPECT_EQ(platformText.find("  "), std::string::npos);
    // Neither table nor platform text: empty, never a failure.
    EXPECT_EQ(ErrorMessage(-99999), "");
    EXPECT_EQ(ErrorMessage(INT32_MIN), "");
    EXPECT_EQ(TapiErrorCode(0x80000001u), -13801);
    EXPECT_EQ(TapiErrorCode(0x8000008Eu), -13942);
}

TEST(ResultCheck, PassesSuccessPositiveAndLoading) {
    EXPECT_EQ(CheckException(nullptr, 0), 0);
    EXPECT_EQ(CheckException(nullptr, 5), 5);
    TBaseComponent loading("ComPort1");
    loading.SetLoading(true);
    EXPECT_EQ(CheckException(&loading, -3007), -3007);
    loading.SetLoading(false);
    EXPECT_THROW(CheckException(&loading, -3007), EBufferIsEmpty);
}

TEST(ResultCheck, EachCodeRaisesItsOwnClass) {
    expectRaises<EBufferIsEmpty>(-3007, -3007, "Buffer is empty");
    expectRaises<EBadArgument>(-1002, -1002, "Bad argument passed to function");
    expectRaises<EInternal>(-1006, -1006, "Internal error creating window class");
    expectRaises<EInternal>(-7003, -7003, "No fields defined in database");
    expectRaises<EInternal>(-7012, -7012, "iPrepareIniDatabase not called");
    expectRaises<EBadId>(-2001, -2001, "ie_BadId - Specified comport doesn't exist");
    expectRaises<ENoPortSelected>(-2011, -2011,
                                  "The ComNumber property of the TComPort has not been set");
    expectRaises<ENotOpenedByTapi>(-2012, -2012, "Comport was not opened by Tapi");
    expectRaises<ENullApi>(-3001, -3001, "No device layer specified");
    expectRaises<EOutputBufferTooSmall>(-3006, -3006, "Output buffer too small for block");
    expectRaises<EBaseAddressNotSet>(-3010, -3010, "Base address not set");
    expectRaises<EAlreadyDialing>(-4005, -4005, "Dialer is already dialing");
    expectRaises<ENotDialing>(-4004, -4004, "Dialer is not dialing");
    expectRaises<EModemNotResponding>(-4006, -4006, "Modem is not responding");
    expectRaises<ETriggerTooLong>(-5002, -5002, "Data trigger too long");
    expectRaises<EProtocol>(-6006, -6006, "Fatal time out");
    expectRaises<EProtocol>(-6009, -6009, "Block sequence error in Xmodem");
    expectRaises<EDatabaseFull>(-7010, -7010, "Maximum database records (999) reached");
    expectRaises<EFaxBadFormat>(-8001, -8001, "File is not an APF file");
    expectRaises<ECantMakeBitmap>(-8005, -8005, "CreateBitmapIndirect API failure");
    expectRaises<EFaxBadModemResult>(-8061, -8061, "Bad response from modem");
    expectRaises<EFaxPageError>(-8070, -8070, "Fax failed at page end");
    expectRaises<ETapiAllocated>(-13801, -13801, "Already allocated");
    expectRaises<ETapiInvalParam>(-13850, -13850, "Invalid parameter");
    expectRaises<ETapiTranslateFail>(-13942, -13942, "Unable to translate address");
}

TEST(ResultCheck, ClassesSitInTheirGroups) {
    // Callers catch whole groups through the intermediate classes.
    EXPECT_THROW(CheckException(nullptr, -2005), EOpenComm);
    EXPECT_THROW(CheckException(nullptr, -3004), ESerialIO);
    EXPECT_THROW(CheckException(nullptr, -4001), EModem);
    EXPECT_THROW(CheckException(nullptr, -5003), ETrigger);
    EXPECT_THROW(CheckException(nullptr, -7008), EINI);
    EXPECT_THROW(CheckException(nullptr, -8062), EFax);
    EXPECT_THROW(CheckException(nullptr, -13815), ETapi);
    EXPECT_THROW(CheckException(nullptr, -1009), EGeneral);
    EXPECT_THROW(CheckException(nullptr, -8070), ECommException);
}

TEST(ResultCheck, RuntimeExceptionsAndTheGenericClass) {
    try {
        CheckException(nullptr, -2);
        ADD_FAILURE();
    } catch (const EInOutError &e) {
        EXPECT_STREQ(e.what(), "File not found");
        EXPECT_EQ(e.errorCode(), 2);
    }
    try {
        CheckException(nullptr, -162);
        ADD_FAILURE();
    } catch (const EInOutError &e) {
        EXPECT_STREQ(e.what(), "General failure");
        EXPECT_EQ(e.errorCode(), 162);
    }
    EXPECT_THROW(CheckException(nullptr, -8), std::bad_alloc);
    // Codes without a class of their own: the generic class, "FaxComm exception", code 0.
    for (int32_t code : {-5001, -13934, -1, -163, -1001, -3002, -6005, -8050, -9001, -10060}) {
        try {
            CheckException(nullptr, code);
            ADD_FAILURE() << code;
        } catch (const ECommException &e) {
            EXPECT_EQ(typeid(e), typeid(ECommException)) << code;
            EXPECT_STREQ(e.what(), "FaxComm exception") << code;
            EXPECT_EQ(e.code(), 0) << code;
        }
    }
    ECommException fromCode(-8061);
    EXPECT_STREQ(fromCode.what(), "Bad response from modem");
    EXPECT_EQ(fromCode.code(), -8061);
    ECommException fromText(std::string("custom"));
    EXPECT_EQ(fromText.code(), 0);
}
