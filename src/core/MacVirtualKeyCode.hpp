#pragma once

// The macOS virtual key codes, named after the key at that position on a US
// ANSI keyboard (or the ISO and JIS key). Peers send these codes on the wire,
// so they are fixed; the function-key modifier and the volume and mute keys
// have no constant.

#include <array>
#include <cstdint>

namespace velorinth::MacVirtualKeyCode {

inline constexpr std::uint16_t ansiA = 0;
inline constexpr std::uint16_t ansiS = 1;
inline constexpr std::uint16_t ansiD = 2;
inline constexpr std::uint16_t ansiF = 3;
inline constexpr std::uint16_t ansiH = 4;
inline constexpr std::uint16_t ansiG = 5;
inline constexpr std::uint16_t ansiZ = 6;
inline constexpr std::uint16_t ansiX = 7;
inline constexpr std::uint16_t ansiC = 8;
inline constexpr std::uint16_t ansiV = 9;
inline constexpr std::uint16_t isoSection = 10;
inline constexpr std::uint16_t ansiB = 11;
inline constexpr std::uint16_t ansiQ = 12;
inline constexpr std::uint16_t ansiW = 13;
inline constexpr std::uint16_t ansiE = 14;
inline constexpr std::uint16_t ansiR = 15;
inline constexpr std::uint16_t ansiY = 16;
inline constexpr std::uint16_t ansiT = 17;
inline constexpr std::uint16_t ansi1 = 18;
inline constexpr std::uint16_t ansi2 = 19;
inline constexpr std::uint16_t ansi3 = 20;
inline constexpr std::uint16_t ansi4 = 21;
inline constexpr std::uint16_t ansi6 = 22;
inline constexpr std::uint16_t ansi5 = 23;
inline constexpr std::uint16_t ansiEqual = 24;
inline constexpr std::uint16_t ansi9 = 25;
inline constexpr std::uint16_t ansi7 = 26;
inline constexpr std::uint16_t ansiMinus = 27;
inline constexpr std::uint16_t ansi8 = 28;
inline constexpr std::uint16_t ansi0 = 29;
inline constexpr std::uint16_t ansiRightBracket = 30;
inline constexpr std::uint16_t ansiO = 31;
inline constexpr std::uint16_t ansiU = 32;
inline constexpr std::uint16_t ansiLeftBracket = 33;
inline constexpr std::uint16_t ansiI = 34;
inline constexpr std::uint16_t ansiP = 35;
inline constexpr std::uint16_t returnKey = 36;
inline constexpr std::uint16_t ansiL = 37;
inline constexpr std::uint16_t ansiJ = 38;
inline constexpr std::uint16_t ansiQuote = 39;
inline constexpr std::uint16_t ansiK = 40;
inline constexpr std::uint16_t ansiSemicolon = 41;
inline constexpr std::uint16_t ansiBackslash = 42;
inline constexpr std::uint16_t ansiComma = 43;
inline constexpr std::uint16_t ansiSlash = 44;
inline constexpr std::uint16_t ansiN = 45;
inline constexpr std::uint16_t ansiM = 46;
inline constexpr std::uint16_t ansiPeriod = 47;
inline constexpr std::uint16_t tab = 48;
inline constexpr std::uint16_t space = 49;
inline constexpr std::uint16_t ansiGrave = 50;
inline constexpr std::uint16_t deleteKey = 51;
inline constexpr std::uint16_t escape = 53;
inline constexpr std::uint16_t rightCommand = 54;
inline constexpr std::uint16_t command = 55;
inline constexpr std::uint16_t shift = 56;
inline constexpr std::uint16_t capsLock = 57;
inline constexpr std::uint16_t option = 58;
inline constexpr std::uint16_t control = 59;
inline constexpr std::uint16_t rightShift = 60;
inline constexpr std::uint16_t rightOption = 61;
inline constexpr std::uint16_t rightControl = 62;
inline constexpr std::uint16_t f17 = 64;
inline constexpr std::uint16_t ansiKeypadDecimal = 65;
inline constexpr std::uint16_t ansiKeypadMultiply = 67;
inline constexpr std::uint16_t ansiKeypadPlus = 69;
inline constexpr std::uint16_t ansiKeypadClear = 71;
inline constexpr std::uint16_t ansiKeypadDivide = 75;
inline constexpr std::uint16_t ansiKeypadEnter = 76;
inline constexpr std::uint16_t ansiKeypadMinus = 78;
inline constexpr std::uint16_t f18 = 79;
inline constexpr std::uint16_t f19 = 80;
inline constexpr std::uint16_t ansiKeypadEquals = 81;
inline constexpr std::uint16_t ansiKeypad0 = 82;
inline constexpr std::uint16_t ansiKeypad1 = 83;
inline constexpr std::uint16_t ansiKeypad2 = 84;
inline constexpr std::uint16_t ansiKeypad3 = 85;
inline constexpr std::uint16_t ansiKeypad4 = 86;
inline constexpr std::uint16_t ansiKeypad5 = 87;
inline constexpr std::uint16_t ansiKeypad6 = 88;
inline constexpr std::uint16_t ansiKeypad7 = 89;
inline constexpr std::uint16_t f20 = 90;
inline constexpr std::uint16_t ansiKeypad8 = 91;
inline constexpr std::uint16_t ansiKeypad9 = 92;
inline constexpr std::uint16_t jisYen = 93;
inline constexpr std::uint16_t jisUnderscore = 94;
inline constexpr std::uint16_t jisKeypadComma = 95;
inline constexpr std::uint16_t f5 = 96;
inline constexpr std::uint16_t f6 = 97;
inline constexpr std::uint16_t f7 = 98;
inline constexpr std::uint16_t f3 = 99;
inline constexpr std::uint16_t f8 = 100;
inline constexpr std::uint16_t f9 = 101;
inline constexpr std::uint16_t jisEisu = 102;
inline constexpr std::uint16_t f11 = 103;
inline constexpr std::uint16_t jisKana = 104;
inline constexpr std::uint16_t f13 = 105;
inline constexpr std::uint16_t f16 = 106;
inline constexpr std::uint16_t f14 = 107;
inline constexpr std::uint16_t f10 = 109;
inline constexpr std::uint16_t f12 = 111;
inline constexpr std::uint16_t f15 = 113;
inline constexpr std::uint16_t help = 114;
inline constexpr std::uint16_t home = 115;
inline constexpr std::uint16_t pageUp = 116;
inline constexpr std::uint16_t forwardDelete = 117;
inline constexpr std::uint16_t f4 = 118;
inline constexpr std::uint16_t end = 119;
inline constexpr std::uint16_t f2 = 120;
inline constexpr std::uint16_t pageDown = 121;
inline constexpr std::uint16_t f1 = 122;
inline constexpr std::uint16_t leftArrow = 123;
inline constexpr std::uint16_t rightArrow = 124;
inline constexpr std::uint16_t downArrow = 125;
inline constexpr std::uint16_t upArrow = 126;

// Every constant above, in ascending order.
inline constexpr std::array<std::uint16_t, 115> all{
    ansiA, ansiS, ansiD, ansiF, ansiH, ansiG, ansiZ, ansiX, ansiC, ansiV, isoSection, ansiB, ansiQ, ansiW, ansiE,
    ansiR, ansiY, ansiT, ansi1, ansi2, ansi3, ansi4, ansi6, ansi5, ansiEqual, ansi9, ansi7, ansiMinus, ansi8, ansi0,
    ansiRightBracket, ansiO, ansiU, ansiLeftBracket, ansiI, ansiP, returnKey, ansiL, ansiJ, ansiQuote, ansiK,
    ansiSemicolon, ansiBackslash, ansiComma, ansiSlash, ansiN, ansiM, ansiPeriod, tab, space, ansiGrave, deleteKey,
    escape, rightCommand, command, shift, capsLock, option, control, rightShift, rightOption, rightControl, f17,
    ansiKeypadDecimal, ansiKeypadMultiply, ansiKeypadPlus, ansiKeypadClear, ansiKeypadDivide, ansiKeypadEnter,
    ansiKeypadMinus, f18, f19, ansiKeypadEquals, ansiKeypad0, ansiKeypad1, ansiKeypad2, ansiKeypad3, ansiKeypad4,
    ansiKeypad5, ansiKeypad6, ansiKeypad7, f20, ansiKeypad8, ansiKeypad9, jisYen, jisUnderscore, jisKeypadComma, f5,
    f6, f7, f3, f8, f9, jisEisu, f11, jisKana, f13, f16, f14, f10, f12, f15, help, home, pageUp, forwardDelete, f4,
    end, f2, pageDown, f1, leftArrow, rightArrow, downArrow, upArrow,
};

} // namespace velorinth::MacVirtualKeyCode
