#pragma once

// Access to the BCM2835-family peripherals from user space: the mapped
// register window, GPIO, the SPI0 master, millisecond sleeps and GPIO edge
// callbacks through sysfs. Flat and procedural on purpose: process-wide
// globals, integer results, no exceptions.

#include <array>
#include <cstdint>
#include <pthread.h>

// --- Layer version -----------------------------------------------------------

constexpr std::uint32_t BCM2835_VERSION = 10060;

// --- Window and block offsets (bytes from the start of the window) -----------

constexpr std::uint32_t BCM2835_PERI_BASE = 0x20000000;
constexpr std::uint32_t BCM2835_PERI_SIZE = 0x01000000;
constexpr std::uint32_t BCM2835_RPI2_PERI_BASE = 0x3F000000;
constexpr std::uint32_t BCM2835_RPI4_PERI_BASE = 0xFE000000;

constexpr std::uint32_t BCM2835_ST_BASE = 0x003000;
constexpr std::uint32_t BCM2835_GPIO_PADS = 0x100000;
constexpr std::uint32_t BCM2835_CLOCK_BASE = 0x101000;
constexpr std::uint32_t BCM2835_GPIO_BASE = 0x200000;
constexpr std::uint32_t BCM2835_SPI0_BASE = 0x204000;
constexpr std::uint32_t BCM2835_BSC0_BASE = 0x205000;
constexpr std::uint32_t BCM2835_GPIO_PWM = 0x20C000;
constexpr std::uint32_t BCM2835_AUX_BASE = 0x215000;
constexpr std::uint32_t BCM2835_SPI1_BASE = 0x215080;
constexpr std::uint32_t BCM2835_BSC1_BASE = 0x804000;

// --- GPIO registers (byte offsets within the GPIO block) ---------------------

constexpr std::uint32_t BCM2835_GPFSEL0 = 0x00;
constexpr std::uint32_t BCM2835_GPSET0 = 0x1C;
constexpr std::uint32_t BCM2835_GPCLR0 = 0x28;
constexpr std::uint32_t BCM2835_GPLEV0 = 0x34;

constexpr std::uint8_t BCM2835_GPIO_FSEL_INPT = 0;
constexpr std::uint8_t BCM2835_GPIO_FSEL_OUTP = 1;
constexpr std::uint8_t BCM2835_GPIO_FSEL_ALT0 = 4;
constexpr std::uint8_t BCM2835_GPIO_FSEL_MASK = 7;

// --- System timer (byte offsets within the system timer block) --------------

constexpr std::uint32_t BCM2835_ST_CS = 0x00;
constexpr std::uint32_t BCM2835_ST_CLO = 0x04;
constexpr std::uint32_t BCM2835_ST_CHI = 0x08;

// --- SPI0 registers and CS bits ----------------------------------------------

constexpr std::uint32_t BCM2835_SPI0_CS = 0x00;
constexpr std::uint32_t BCM2835_SPI0_FIFO = 0x04;
constexpr std::uint32_t BCM2835_SPI0_CLK = 0x08;

constexpr std::uint32_t BCM2835_SPI0_CS_CS = 0x00000003;
constexpr std::uint32_t BCM2835_SPI0_CS_CPHA = 0x00000004;
constexpr std::uint32_t BCM2835_SPI0_CS_CPOL = 0x00000008;
constexpr std::uint32_t BCM2835_SPI0_CS_CLEAR = 0x00000030;
constexpr std::uint32_t BCM2835_SPI0_CS_CLEAR_TX = 0x00000010;
constexpr std::uint32_t BCM2835_SPI0_CS_CLEAR_RX = 0x00000020;
constexpr std::uint32_t BCM2835_SPI0_CS_TA = 0x00000080;
constexpr std::uint32_t BCM2835_SPI0_CS_DONE = 0x00010000;
constexpr std::uint32_t BCM2835_SPI0_CS_RXD = 0x00020000;
constexpr std::uint32_t BCM2835_SPI0_CS_TXD = 0x00040000;
constexpr std::uint32_t BCM2835_SPI0_CS_CSPOL0 = 0x00200000;
constexpr std::uint32_t BCM2835_SPI0_CS_CSPOL1 = 0x00400000;
constexpr std::uint32_t BCM2835_SPI0_CS_CSPOL2 = 0x00800000;

// GPIO numbers of the SPI0 bus pins (alternate function 0).
constexpr std::uint8_t BCM2835_SPI0_CE1_PIN = 7;
constexpr std::uint8_t BCM2835_SPI0_CE0_PIN = 8;
constexpr std::uint8_t BCM2835_SPI0_MISO_PIN = 9;
constexpr std::uint8_t BCM2835_SPI0_MOSI_PIN = 10;
constexpr std::uint8_t BCM2835_SPI0_SCLK_PIN = 11;

// --- Edge callbacks ------------------------------------------------------------

constexpr unsigned BCM2835_ISR_PINS = 54;

constexpr int BCM2835_ISR_BAD_PIN = -3;
constexpr int BCM2835_ISR_BAD_EDGE = -122;
constexpr int BCM2835_ISR_SYSFS_FAILED = -123;

// level is 1 or 0 after an edge and 2 after a time-out; tick is the low word
// of the 1 MHz system timer.
typedef void (*gpioISRFunc_t)(int pin, int level, unsigned int tick);
typedef void (*gpioISRFuncEx_t)(int pin, int level, unsigned int tick, void* user_data);

struct isr_record {
    int pin;
    pthread_t* thread;
    gpioISRFunc_t callback;  // a gpioISRFuncEx_t when extended is 1
    int edge;
    int timeout_ms;
    int extended;
    void* user_data;
    int value_fd;
    int exported;
    // The pin's number in the kernel's sysfs: the base of the SoC's gpiochip
    // plus pin, taken when the pin is exported.
    int sysfs_gpio;
};

// --- Process-wide state ----------------------------------------------------------

extern std::uint32_t bcm2835_peripherals_base;
extern std::uint32_t bcm2835_peripherals_size;

extern volatile std::uint32_t* bcm2835_peripherals;
extern volatile std::uint32_t* bcm2835_gpio;
extern volatile std::uint32_t* bcm2835_pwm;
extern volatile std::uint32_t* bcm2835_clk;
extern volatile std::uint32_t* bcm2835_pads;
extern volatile std::uint32_t* bcm2835_spi0;
extern volatile std::uint32_t* bcm2835_bsc0;
extern volatile std::uint32_t* bcm2835_bsc1;
extern volatile std::uint32_t* bcm2835_st;
extern volatile std::uint32_t* bcm2835_aux;
extern volatile std::uint32_t* bcm2835_spi1;

extern std::uint8_t pud_type_rpi4;

extern std::uint8_t bcm2835_spi_bit_order;
extern const std::array<std::uint8_t, 256> bcm2835_byte_reverse_table;

extern isr_record gpioISR[BCM2835_ISR_PINS];

// Where the layer finds the kernel's files. The product keeps the defaults
// ("/sys/class/gpio", "/proc/device-tree/soc/ranges",
// "/proc/device-tree/compatible" and "/sys/bus/platform/devices"); tests and
// the virtual board point them elsewhere.
extern const char* bcm2835_sysfs_gpio_dir;
extern const char* bcm2835_soc_ranges_file;
extern const char* bcm2835_compatible_file;
extern const char* bcm2835_sysfs_platform_dir;

// --- Mapping, registers, GPIO, delays --------------------------------------------

int bcm2835_init();
int bcm2835_close();
void bcm2835_set_debug(std::uint8_t d);
std::uint32_t bcm2835_version();

std::uint32_t bcm2835_peri_read(volatile std::uint32_t* paddr);
std::uint32_t bcm2835_peri_read_nb(volatile std::uint32_t* paddr);
void bcm2835_peri_write(volatile std::uint32_t* paddr, std::uint32_t value);
void bcm2835_peri_write_nb(volatile std::uint32_t* paddr, std::uint32_t value);
void bcm2835_peri_set_bits(volatile std::uint32_t* paddr, std::uint32_t value, std::uint32_t mask);

void bcm2835_gpio_fsel(std::uint8_t pin, std::uint8_t mode);
void bcm2835_gpio_set(std::uint8_t pin);
void bcm2835_gpio_clr(std::uint8_t pin);
void bcm2835_gpio_write(std::uint8_t pin, std::uint8_t on);
std::uint8_t bcm2835_gpio_lev(std::uint8_t pin);

void bcm2835_delay(unsigned int millis);

// The system timer's free-running 1 MHz counter, both words.
std::uint64_t bcm2835_st_read();

// --- SPI0 master -------------------------------------------------------------------

int bcm2835_spi_begin();
void bcm2835_spi_end();
void bcm2835_spi_setBitOrder(std::uint8_t order);
void bcm2835_spi_setClockDivider(unsigned int divider);
void bcm2835_spi_setDataMode(std::uint8_t mode);
void bcm2835_spi_chipSelect(std::uint8_t cs);
void bcm2835_spi_setChipSelectPolarity(std::uint8_t cs, std::uint8_t active);
// 1 when every byte has shifted; 0 when the controller stopped (a flag it
// was waited for did not come within 100 ms beyond what the frame takes at
// the divider set): the transfer is then abandoned with TA cleared, and the
// received bytes are not to be trusted.
int bcm2835_spi_transfernb(char* tbuf, char* rbuf, std::uint32_t len);
int bcm2835_spi_writenb(const char* tbuf, std::uint32_t len);

// --- GPIO edge callbacks --------------------------------------------------------------

int bcm2835_gpioSetISRFunc(unsigned pin, unsigned edge, int timeout, gpioISRFunc_t f);
int bcm2835_gpioSetISRFuncEx(unsigned pin, unsigned edge, int timeout, gpioISRFuncEx_t f, void* user_data);
int intGpioSetISRFunc(unsigned pin, unsigned edge, int timeout, gpioISRFunc_t f, int extended, void* user_data);
pthread_t* gpioStartThread(void* (*function)(void*), void* argument);
void gpioStopThread(pthread_t* handle);
void* pthISRThread(void* record);
