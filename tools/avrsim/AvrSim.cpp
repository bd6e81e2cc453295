#include "avrsim/AvrSim.h"

#include <avr_ioport.h>
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>
#include <sim_interrupts.h>

#include <stdexcept>

#include "../../firmware/arduino/kleurflits/Font.h"

namespace kf::avrsim {
namespace {

constexpr std::uint8_t kUsartRxVector = 18;  // USART_RX_vect of the ATmega328P

// The firmware sleeps between bytes; simavr's default would then sleep the host thread to
// keep real time. The caller paces the simulation instead.
void noSleep(avr_t*, avr_cycle_count_t) {}

}  // namespace

std::uint8_t Outputs::ledMask() const {
    std::uint8_t mask = 0;
    for (int i = 0; i < 8; ++i) {
        mask |= (display[2 * i + 1] & 1u) << i;
    }
    return mask;
}

std::uint8_t Outputs::dotMask() const {
    std::uint8_t mask = 0;
    for (int i = 0; i < 8; ++i) {
        mask |= ((display[2 * i] & fw::kDecimalPoint) ? 1u : 0u) << i;
    }
    return mask;
}

std::string Outputs::digitText() const {
    std::string text;
    for (int i = 0; i < 8; ++i) {
        const std::uint8_t segments = display[2 * i] & ~fw::kDecimalPoint;
        char found = '?';
        // Capitals first: the texts are mostly capitals, and several shapes are shared.
        for (const char* c = " -ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"; *c;
             ++c) {
            if (fw::glyph(*c) == segments) {
                found = *c;
                break;
            }
        }
        text += found;
    }
    return text;
}

AvrSim::AvrSim(const std::string& elfPath, fw::BoardType type) : type_(type) {
    elf_firmware_t firmware{};
    if (elf_read_firmware(elfPath.c_str(), &firmware) != 0) {
        throw std::runtime_error("cannot read firmware " + elfPath);
    }
    avr_ = avr_make_mcu_by_name("atmega328p");
    if (!avr_) {
        throw std::runtime_error("simavr has no atmega328p");
    }
    avr_init(avr_);
    avr_->log = 0;
    avr_load_firmware(avr_, &firmware);
    avr_->frequency = kFrequency;
    avr_->sleep = noSleep;
    // avr_init() sized this for an unknown clock (1 cycle), which makes a sleeping core wake
    // every other cycle and run slower than real time. Cycle timers still fire on time.
    avr_->run_cycle_limit = kFrequency / 1000;
    // simavr would also sleep the host thread a little on every poll of the UART status.
    std::uint32_t flags = 0;
    avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);

    const auto watch = [&](char port, int bit) {
        avr_irq_t* irq = avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ(port), IOPORT_IRQ_PIN0 + bit);
        // The port letter and the bit travel in the irq's own number.
        avr_irq_register_notify(irq, pinChanged, this);
    };
    for (int bit = 0; bit < 8; ++bit) {
        watch('B', bit);
        watch('C', bit);
        watch('D', bit);
    }
    avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                            uartOut, this);
    avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON),
                            uartXon, this);
    avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF),
                            uartXoff, this);
    avr_irq_register_notify(avr_get_interrupt_irq(avr_, kUsartRxVector), rxInterrupt, this);
    uartInput_ = avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
}

AvrSim::~AvrSim() {
    if (avr_) {
        avr_terminate(avr_);
        free(avr_);
    }
}

std::uint64_t AvrSim::cycle() const {
    return avr_->cycle;
}

void AvrSim::reset() {
    avr_reset(avr_);
    input_.clear();
    output_.clear();
    ++resets_;
}

void AvrSim::send(std::string_view bytes) {
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    pump();
}

void AvrSim::pump() {
    while (xon_ && !input_.empty()) {
        const std::uint8_t byte = input_.front();
        input_.pop_front();
        // May call uartXoff() and so end the loop.
        avr_raise_irq(uartInput_, byte);
    }
}

bool AvrSim::runFor(std::chrono::microseconds time) {
    const std::uint64_t end = avr_->cycle + time.count() * (kFrequency / 1000000);
    while (avr_->cycle < end) {
        const int state = avr_run(avr_);
        if (state == cpu_Done || state == cpu_Crashed) {
            return false;
        }
        pump();
    }
    return true;
}

bool AvrSim::runUntil(const std::function<bool()>& pred, std::chrono::microseconds limit) {
    const std::uint64_t end = avr_->cycle + limit.count() * (kFrequency / 1000000);
    while (!pred()) {
        if (avr_->cycle >= end) {
            return false;
        }
        const int state = avr_run(avr_);
        if (state == cpu_Done || state == cpu_Crashed) {
            return false;
        }
        pump();
    }
    return true;
}

std::string AvrSim::takeOutput() {
    std::string out;
    out.swap(output_);
    return out;
}

void AvrSim::uartOut(avr_irq_t*, std::uint32_t value, void* param) {
    static_cast<AvrSim*>(param)->output_ += static_cast<char>(value);
}

void AvrSim::uartXon(avr_irq_t*, std::uint32_t, void* param) {
    static_cast<AvrSim*>(param)->xon_ = true;
}

void AvrSim::uartXoff(avr_irq_t*, std::uint32_t, void* param) {
    static_cast<AvrSim*>(param)->xon_ = false;
}

void AvrSim::rxInterrupt(avr_irq_t*, std::uint32_t value, void* param) {
    auto* self = static_cast<AvrSim*>(param);
    if (value) {
        self->lastRxCycle_ = self->avr_->cycle;
        ++self->rxCount_;
    }
}

void AvrSim::pinChanged(avr_irq_t* irq, std::uint32_t value, void* param) {
    auto* self = static_cast<AvrSim*>(param);
    // Which pin: find the irq among the three ports' pin irqs.
    for (char port : {'B', 'C', 'D'}) {
        avr_irq_t* first =
            avr_io_getirq(self->avr_, AVR_IOCTL_IOPORT_GETIRQ(port), IOPORT_IRQ_PIN0);
        if (irq >= first && irq < first + 8) {
            self->pin(port, static_cast<int>(irq - first), value != 0);
            return;
        }
    }
}

void AvrSim::pin(char port, int bit, bool high) {
    std::uint8_t& reg = port == 'B' ? portB_ : port == 'C' ? portC_ : portD_;
    const std::uint8_t mask = static_cast<std::uint8_t>(1u << bit);
    const bool was = reg & mask;
    if (was == high) {
        return;
    }
    reg = static_cast<std::uint8_t>(high ? reg | mask : reg & ~mask);

    if (type_ == fw::BoardType::TM && port == 'B' && bit >= 2 && bit <= 4) {
        if (bit == 2) {
            tmStrobe(high);
        } else if (bit == 3 && high) {
            tmClock();
        }
        return;
    }
    const Outputs before = outputs_;
    outputs_.lamps = static_cast<std::uint8_t>((portD_ >> 2) | ((portB_ & 0x03) << 6));
    if (type_ == fw::BoardType::AL) {
        outputs_.peaks = static_cast<std::uint8_t>(((portB_ >> 2) & 0x0f) | ((portC_ & 0x0f) << 4));
    }
    if (!(outputs_ == before)) {
        changed();
    }
}

void AvrSim::tmStrobe(bool high) {
    if (!high) {
        tmSelected_ = true;
        tmBits_ = 0;
        tmBytes_ = 0;
        tmShift_ = 0;
        tmWriting_ = false;
        return;
    }
    tmSelected_ = false;
}

void AvrSim::tmClock() {
    if (!tmSelected_) {
        return;
    }
    const bool dio = portB_ & (1u << 4);
    tmShift_ = static_cast<std::uint8_t>((tmShift_ >> 1) | (dio ? 0x80 : 0));
    if (++tmBits_ < 8) {
        return;
    }
    const std::uint8_t byte = tmShift_;
    tmBits_ = 0;
    tmShift_ = 0;
    if (tmBytes_++ == 0) {
        switch (byte & 0xc0) {
            case 0x40:  // data command
                tmAutoIncrement_ = !(byte & 0x04);
                return;
            case 0x80: {  // display control
                const bool on = byte & 0x08;
                if (on != outputs_.displayOn) {
                    outputs_.displayOn = on;
                    changed();
                }
                return;
            }
            case 0xc0:  // address, data follows
                tmAddress_ = byte & 0x0f;
                tmWriting_ = true;
                return;
            default:
                return;
        }
    }
    if (tmWriting_) {
        if (outputs_.display[tmAddress_] != byte) {
            outputs_.display[tmAddress_] = byte;
            changed();
        }
        if (tmAutoIncrement_) {
            tmAddress_ = (tmAddress_ + 1) & 0x0f;
        }
    }
}

void AvrSim::changed() {
    // A long run under the pty bridge keeps the recent part of the log only.
    constexpr std::size_t kKept = 100000;
    if (changes_.size() >= 2 * kKept) {
        changes_.erase(changes_.begin(), changes_.begin() + kKept);
    }
    changes_.push_back({avr_->cycle, WallClock::now(), outputs_});
    if (callback_) {
        callback_(changes_.back());
    }
}

}  // namespace kf::avrsim
