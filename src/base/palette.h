// The workspace colours, 0xRRGGBB, shared by the views and the window layer's
// own modal widgets so that both look alike.
#pragma once

#include <cstdint>

constexpr uint32_t PALETTE_WINDOW = 0x151817;          // window background
constexpr uint32_t PALETTE_BAR = 0x1A201D;             // header bar, library column, status bar
constexpr uint32_t PALETTE_HEADER_LINE = 0x313A34;     // line under the header
constexpr uint32_t PALETTE_BORDER = 0x404C44;          // panel, button, card and status borders
constexpr uint32_t PALETTE_PANEL = 0x1D2220;           // main panel interior
constexpr uint32_t PALETTE_SEARCH = 0x242923;          // search field interior
constexpr uint32_t PALETTE_SECONDARY_TEXT = 0xA4B1A9;  // placeholders, captions, status line
constexpr uint32_t PALETTE_PRIMARY_TEXT = 0xE7EFEA;    // labels and titles
constexpr uint32_t PALETTE_BUTTON = 0x282F2B;          // inactive button interior
constexpr uint32_t PALETTE_ACTIVE_BORDER = 0xB99B51;   // active button border
constexpr uint32_t PALETTE_ACTIVE_BUTTON = 0x534521;   // active button interior, highlighted row
constexpr uint32_t PALETTE_ACTIVE_LABEL = 0xFFF1C4;    // active button label
constexpr uint32_t PALETTE_METER_LABEL = 0xA5D8FF;
constexpr uint32_t PALETTE_METER_TRACK = 0x243B4A;
constexpr uint32_t PALETTE_METER_BAR = 0x66AEE3;
constexpr uint32_t PALETTE_LIBRARY_EDGE = 0x344037;    // the library column's right edge
constexpr uint32_t PALETTE_CARD = 0x202923;            // library card interior
constexpr uint32_t PALETTE_PICTURE = 0x101311;         // picture areas and text fields
constexpr uint32_t PALETTE_SELECTED = 0xF1CE72;        // selected card border, dial knob
constexpr uint32_t PALETTE_CHECK = 0x9DE6B8;           // the check mark on library cards
