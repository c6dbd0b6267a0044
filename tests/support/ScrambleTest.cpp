#include <gtest/gtest.h>

#include <random>

#include "TempHome.h"
#include "support/Scramble.h"

TEST(Scramble, ExactInverseForRandomTexts) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        uint32_t machine = rng();
        std::string text(rng() % 60, '\0');
        for (auto& c : text) {
            c = static_cast<char>(rng() % 256);
        }
        std::string scrambled = Scramble(text, true, machine);
        ASSERT_EQ(scrambled.size(), text.size());
        ASSERT_EQ(Scramble(scrambled, false, machine), text) << "machine " << machine;
    }
}

TEST(Scramble, NonAlphanumericsStayInPlaceOfTheReversedText) {
    std::string text = "a-b c!9@";
    std::string scrambled = Scramble(text, true, 7);
    std::string reversed(text.rbegin(), text.rend());
    for (size_t i = 0; i < text.size(); ++i) {
        bool alnum = isalnum(static_cast<unsigned char>(reversed[i]));
        if (!alnum) {
            EXPECT_EQ(scrambled[i], reversed[i]);
        } else {
            EXPECT_TRUE(isalnum(static_cast<unsigned char>(scrambled[i])));
        }
    }
}

TEST(Scramble, DigitShiftIsSixForLengthsOfTen) {
    // Whatever the machine number, every digit moves by 6 when the length is a multiple of 10.
    for (uint32_t machine : {0u, 1u, 12345u, 0xFFFFFFFFu}) {
        for (size_t n : {10u, 20u}) {
            std::string digits(n, '0');
            std::string scrambled = Scramble(digits, true, machine);
            EXPECT_EQ(scrambled, std::string(n, '6')) << machine << " " << n;
        }
    }
    // For other lengths the two shifts come from the machine number.
    // Even positions shift by (3-2)%10=1, odd ones by (3+2)%10=5; then reversed.
    EXPECT_EQ(Scramble("00", true, 3), "51");
}

TEST(Scramble, OtherMachineGivesOtherTextOfSameLength) {
    std::string a = Scramble("Secret pass 123", true, 1000);
    std::string b = Scramble("Secret pass 123", true, 1001);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), b.size());
    EXPECT_NE(Scramble(a, false, 1001), "Secret pass 123");
}

TEST(MachineNumber, FromMachineIdFile) {
    TempHome home;
    std::string path = home.File("machine-id");
    TempHome::WriteFile(path, "0000ffff9a3b4c5d6e7f8091a2b3c4d5\n");
    EXPECT_EQ(ReadVolumeSerial(path), 0xFFFFu);
    EXPECT_EQ(MachineNumberFromSerial(0xFFFF), 0u) << "the challenge tag then carries 0";
    TempHome::WriteFile(path, "12x45678");
    EXPECT_EQ(ReadVolumeSerial(path), 0u);
    TempHome::WriteFile(path, "123");
    EXPECT_EQ(ReadVolumeSerial(path), 0u);
    EXPECT_EQ(ReadVolumeSerial(home.File("missing")), 0u);
    EXPECT_EQ(MachineNumberFromSerial(0), 0xFFFFu);
    // Read as signed, the value is negative: its absolute value is taken.
    EXPECT_EQ(MachineNumberFromSerial(0xFFFFFFFEu), 0xFFFFu);
    EXPECT_EQ(GetMachineNumber(), GetMachineNumber());
}
