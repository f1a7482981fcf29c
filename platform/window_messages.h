#pragma once
// The numbers of the window messages that worker threads post to the display.
#include <cstdint>

namespace tarvelo {

// The mouse messages the notification-area icon reports.
constexpr int WM_LBUTTONDOWN = 0x0201;
constexpr int WM_LBUTTONDBLCLK = 0x0203;
constexpr uint32_t WM_SHOW_WEIGHT = 0x1AA9;
constexpr uint32_t WM_SHOW_TARE = 0x1AAA;
constexpr uint32_t WM_SHOW_UNIT_PRICE = 0x1AAB;
constexpr uint32_t WM_SHOW_TOTAL_PRICE = 0x1AAC;
constexpr uint32_t WM_SHOW_TEXT = 0x1AAD;
constexpr uint32_t WM_ZERO_ON = 0x1AAE;
constexpr uint32_t WM_ZERO_OFF = 0x1AAF;
constexpr uint32_t WM_NET_ON = 0x1AB0;
constexpr uint32_t WM_NET_OFF = 0x1AB1;
constexpr uint32_t WM_SALE_ARMED = 0x1AB2;
constexpr uint32_t WM_SALE_CLEARED = 0x1AB3;
constexpr uint32_t WM_SALE_WEIGHT = 0x1AB4;
constexpr uint32_t WM_SHOW_AD_COUNT = 0x1AB5;
constexpr uint32_t WM_SHOW_IR_COUNT = 0x1AB6;

// What the letter-command board's reader posts to its owner (the main window handles none).
constexpr uint32_t WM_LCMD_STATUS = 0xBD0;       // the status record changed
constexpr uint32_t WM_LCMD_STATUS_WORD = 0xBD1;  // a 'C' reply decoded
constexpr uint32_t WM_LCMD_NUMBERS = 0xBD2;      // a 'D' reply decoded
constexpr uint32_t WM_LCMD_FIRMWARE = 0xBD3;     // an 'F' reply decoded
constexpr uint32_t WM_LCMD_REPLY = 0xBD4;        // a reply that is not 'R' '0'

}  // namespace tarvelo
