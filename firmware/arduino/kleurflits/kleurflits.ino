// KleurFlits Stereo lamp board for an Arduino Nano (ATmega328P, 16 MHz), 115200 baud 8N1.
//
// Choose the board type here before uploading: KF_TYPE_ET, KF_TYPE_AL or KF_TYPE_TM.
#ifndef KF_BOARD
#define KF_BOARD KF_TYPE_TM
#endif
//
// Pins:
//   lamps 1-8 (every type)      D2 D3 D4 D5 D6 D7 D8 D9     (lamp 1 = bit 0 of "1/P/")
//   AL: peaks 1-8               D10 D11 D12 D13 A0 A1 A2 A3 (peak 1 = bit 0 of "4/K/")
//   TM: TM1638 module           STB D10, CLK D11, DIO D12
//
// The serial port is driven by a small receive interrupt of its own instead of the core's
// Serial, which would take about 180 bytes of RAM for buffers this board does not need.

#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>

#include "Board.h"

#if KF_BOARD == KF_TYPE_ET
const kf::fw::BoardType kBoardType = kf::fw::BoardType::ET;
#elif KF_BOARD == KF_TYPE_AL
const kf::fw::BoardType kBoardType = kf::fw::BoardType::AL;
#elif KF_BOARD == KF_TYPE_TM
const kf::fw::BoardType kBoardType = kf::fw::BoardType::TM;
#else
#error "KF_BOARD must be KF_TYPE_ET, KF_TYPE_AL or KF_TYPE_TM"
#endif

namespace {

// Received bytes wait here for loop(). A frame is at most 12 bytes every 10 ms; the room covers
// a display refresh's worth of line time many times over. When full, bytes are dropped and the
// parser finds its way back at the next "/".
const uint8_t kRxSize = 64;
volatile uint8_t rxBuffer[kRxSize];
volatile uint8_t rxHead = 0;
uint8_t rxTail = 0;

kf::fw::Board board(kBoardType);

void uartBegin() {
    // 115200 baud from 16 MHz needs the double-speed mode: UBRR 16 is 2.1 % off, as the core's.
    UCSR0A = _BV(U2X0);
    UBRR0H = 0;
    UBRR0L = 16;
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);
}

// The answer goes out from the transmit interrupt, so loop() never waits for the line.
const uint8_t kTxSize = 8;
volatile uint8_t txBuffer[kTxSize];
uint8_t txHead = 0;
volatile uint8_t txTail = 0;

void uartSend(char c) {
    const uint8_t next = static_cast<uint8_t>((txHead + 1) % kTxSize);
    while (next == txTail) {
        // Full: wait for the interrupt to make room.
    }
    txBuffer[txHead] = static_cast<uint8_t>(c);
    txHead = next;
    UCSR0B |= _BV(UDRIE0);
}

bool takeByte(uint8_t& byte) {
    if (rxTail == rxHead) {
        return false;
    }
    byte = rxBuffer[rxTail];
    rxTail = static_cast<uint8_t>((rxTail + 1) % kRxSize);
    return true;
}

// Lamps 1-6 on PD2-PD7 (D2-D7), lamps 7-8 on PB0-PB1 (D8-D9). Whole-port writes keep the time
// from message to lamp short; PD0/PD1 belong to the UART and are left alone.
void writeLamps(uint8_t lamps) {
    PORTD = static_cast<uint8_t>((PORTD & 0x03) | (lamps << 2));
    PORTB = static_cast<uint8_t>((PORTB & ~0x03) | ((lamps >> 6) & 0x03));
}

#if KF_BOARD == KF_TYPE_AL
// Peaks 1-4 on PB2-PB5 (D10-D13), peaks 5-8 on PC0-PC3 (A0-A3).
void writePeaks(uint8_t peaks) {
    PORTB = static_cast<uint8_t>((PORTB & ~0x3c) | ((peaks & 0x0f) << 2));
    PORTC = static_cast<uint8_t>((PORTC & ~0x0f) | (peaks >> 4));
}
#endif

#if KF_BOARD == KF_TYPE_TM
// TM1638 on PB2 (STB, D10), PB3 (CLK, D11), PB4 (DIO, D12). The chip takes data LSB first on
// the rising clock edge and wants clock phases of at least 400 ns.
const uint8_t kStb = _BV(PB2);
const uint8_t kClk = _BV(PB3);
const uint8_t kDio = _BV(PB4);

inline void tmPause() {
    __builtin_avr_delay_cycles(8);
}

void tmByte(uint8_t value) {
    for (uint8_t bit = 0; bit < 8; ++bit) {
        PORTB &= ~kClk;
        if (value & 1) {
            PORTB |= kDio;
        } else {
            PORTB &= ~kDio;
        }
        value >>= 1;
        tmPause();
        PORTB |= kClk;
        tmPause();
    }
}

void tmCommand(uint8_t command) {
    PORTB &= ~kStb;
    tmPause();
    tmByte(command);
    PORTB |= kStb;
    tmPause();
}

void tmShow() {
    uint8_t image[kf::fw::kDisplayBytes];
    board.displayImage(image);
    tmCommand(0x40);  // write display memory, address counting up
    PORTB &= ~kStb;
    tmPause();
    tmByte(0xc0);  // from address 0
    for (uint8_t i = 0; i < kf::fw::kDisplayBytes; ++i) {
        tmByte(image[i]);
    }
    PORTB |= kStb;
    tmPause();
    tmCommand(0x8f);  // display on, full brightness
}

bool pendingShow = false;
#endif

void sleepUntilInterrupt() {
    // Interrupts stay off between the check and the sleep, or a byte arriving in between
    // would wait for the next timer tick.
    cli();
    if (rxTail == rxHead) {
        sleep_enable();
        sei();
        sleep_cpu();
        sleep_disable();
    }
    sei();
}

}  // namespace

ISR(USART_UDRE_vect) {
    if (txTail == txHead) {
        UCSR0B &= ~_BV(UDRIE0);
        return;
    }
    UDR0 = txBuffer[txTail];
    txTail = static_cast<uint8_t>((txTail + 1) % kTxSize);
}

ISR(USART_RX_vect) {
    const uint8_t byte = UDR0;
    const uint8_t next = static_cast<uint8_t>((rxHead + 1) % kRxSize);
    if (next != rxTail) {
        rxBuffer[rxHead] = byte;
        rxHead = next;
    }
}

void setup() {
    // Every lamp starts dark: outputs low before they are enabled.
    PORTD &= 0x03;
    DDRD |= 0xfc;
    PORTB &= ~0x03;
    DDRB |= 0x03;
#if KF_BOARD == KF_TYPE_AL
    PORTB &= ~0x3c;
    DDRB |= 0x3c;
    PORTC &= ~0x0f;
    DDRC |= 0x0f;
#elif KF_BOARD == KF_TYPE_TM
    PORTB |= kStb | kClk;
    DDRB |= kStb | kClk | kDio;
    tmShow();
#endif
    set_sleep_mode(SLEEP_MODE_IDLE);
    uartBegin();
}

void loop() {
    uint8_t byte;
    while (takeByte(byte)) {
        char reply[kf::fw::kMaxReply];
        const uint8_t n = board.receive(byte, reply);
        for (uint8_t i = 0; i < n; ++i) {
            uartSend(reply[i]);
        }
        const uint8_t changes = board.takeChanges();
        if (changes & kf::fw::kLampsChanged) {
            writeLamps(board.lamps());
        }
#if KF_BOARD == KF_TYPE_AL
        if (changes & kf::fw::kPeaksChanged) {
            writePeaks(board.peaks());
        }
#elif KF_BOARD == KF_TYPE_TM
        // The module is refreshed once the line is quiet, so back-to-back messages of one frame
        // come out in one refresh.
        if (changes) {
            pendingShow = true;
        }
#endif
    }
#if KF_BOARD == KF_TYPE_TM
    if (pendingShow) {
        pendingShow = false;
        tmShow();
    }
#endif
    sleepUntilInterrupt();
}
