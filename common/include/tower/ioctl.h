/* Control codes of a tower's device and the records they carry. Both the
   driver and the access library use this header; every layout is
   byte-exact, little-endian and checked below. */
#pragma once

#include <stddef.h>
#include <stdint.h>

/* Device type FILE_DEVICE_UNKNOWN, buffered method, any access. */
#define TOWER_CTL_CODE(function) (0x00220000u | ((uint32_t)(function) << 2))

#define IOCTL_TOWER_SET_RANGE TOWER_CTL_CODE(0x800)
#define IOCTL_TOWER_GET_RANGE TOWER_CTL_CODE(0x801)
#define IOCTL_TOWER_SET_LINK_MODE TOWER_CTL_CODE(0x802)
#define IOCTL_TOWER_GET_LINK_MODE TOWER_CTL_CODE(0x803)
#define IOCTL_TOWER_GET_CAPS TOWER_CTL_CODE(0x804)
#define IOCTL_TOWER_GET_VERSION TOWER_CTL_CODE(0x805)
#define IOCTL_TOWER_FLUSH TOWER_CTL_CODE(0x806)
#define IOCTL_TOWER_SET_TIMEOUTS TOWER_CTL_CODE(0x807)
#define IOCTL_TOWER_GET_TIMEOUTS TOWER_CTL_CODE(0x808)
#define IOCTL_TOWER_RESET TOWER_CTL_CODE(0x80C)
#define IOCTL_TOWER_GET_COPYRIGHT TOWER_CTL_CODE(0x80D)
#define IOCTL_TOWER_GET_CREDITS TOWER_CTL_CODE(0x80E)
#define IOCTL_TOWER_SET_LED_MODE TOWER_CTL_CODE(0x80F)
#define IOCTL_TOWER_GET_LED_MODE TOWER_CTL_CODE(0x810)
#define IOCTL_TOWER_SET_LED_STATE TOWER_CTL_CODE(0x811)
#define IOCTL_TOWER_GET_LED_STATE TOWER_CTL_CODE(0x812)
#define IOCTL_TOWER_GET_ERROR_STATE TOWER_CTL_CODE(0x814)
#define IOCTL_TOWER_SET_ENDIANNESS TOWER_CTL_CODE(0x815)
#define IOCTL_TOWER_GET_ENDIANNESS TOWER_CTL_CODE(0x816)
#define IOCTL_TOWER_SET_IR_SPEED TOWER_CTL_CODE(0x817)
#define IOCTL_TOWER_GET_IR_SPEED TOWER_CTL_CODE(0x818)
#define IOCTL_TOWER_RESET_COMM_STATS TOWER_CTL_CODE(0x819)
#define IOCTL_TOWER_GET_COMM_STATS TOWER_CTL_CODE(0x81A)
#define IOCTL_TOWER_SET_CARRIER_FREQUENCY TOWER_CTL_CODE(0x81B)
#define IOCTL_TOWER_GET_CARRIER_FREQUENCY TOWER_CTL_CODE(0x81C)
#define IOCTL_TOWER_SET_CARRIER_DUTY_CYCLE TOWER_CTL_CODE(0x81D)
#define IOCTL_TOWER_GET_CARRIER_DUTY_CYCLE TOWER_CTL_CODE(0x81E)
#define IOCTL_TOWER_SET_PARM TOWER_CTL_CODE(0x820)
#define IOCTL_TOWER_GET_PARM TOWER_CTL_CODE(0x821)
#define IOCTL_TOWER_SET_IRC_PARM TOWER_CTL_CODE(0x822)
#define IOCTL_TOWER_GET_IRC_PARM TOWER_CTL_CODE(0x823)
#define IOCTL_TOWER_GET_STATE TOWER_CTL_CODE(0x825)
#define IOCTL_TOWER_RESTART TOWER_CTL_CODE(0x826)

/* Tower state word bits. */
#define TOWER_STATE_PRESENT 0x1u
#define TOWER_STATE_STARTED 0x2u
#define TOWER_STATE_OPEN 0x4u
#define TOWER_STATE_READER_ACTIVE 0x8u
#define TOWER_STATE_WORKING 0xFu

#pragma pack(push, 1)

/* Generic record: header and a 4-byte payload whose meaning depends on the
   code; each code reads and writes it through its own view. */
typedef struct QIROTOWER_CTLREC {
  uint32_t Size; /* 12 */
  uint16_t Status;
  uint16_t Reserved;
  union {
    uint8_t Payload[4]; /* the four bytes as they are */
    uint32_t Value;     /* SET/GET_RANGE, SET/GET_LINK_MODE: the value, zero-extended */
    struct {
      uint16_t Value; /* SET/GET_ENDIANNESS, GET_ERROR_STATE */
      uint16_t Unused;
    } Word;
    struct {
      uint16_t One; /* the library writes 1; the driver returns 0 */
      uint16_t Mode;
    } LedMode;
    struct {
      uint16_t Led;
      uint16_t State; /* input: the low byte */
    } LedState;
    struct {
      uint16_t Flags; /* TOWER_FLUSH_* bits */
      uint16_t Unused;
    } Flush;
    struct {
      uint16_t Frequency;
      uint16_t Unused;
    } Carrier;
    struct {
      uint16_t Selector;
      uint16_t DutyCycle; /* GET: sent as the request value */
    } Duty;
    struct {
      uint8_t Id;
      uint8_t Value;
      uint16_t Index;
    } Parm; /* SET/GET_PARM, SET/GET_IRC_PARM */
  };
} QIROTOWER_CTLREC;

typedef struct QIROTOWER_SPEEDREC {
  uint32_t Size; /* 16 */
  uint16_t Status;
  uint16_t Reserved;
  uint16_t TxSpeed;
  uint16_t RxSpeed;
  uint16_t Unused; /* the library writes 2; the driver neither reads nor writes it */
  uint16_t Reserved2;
} QIROTOWER_SPEEDREC;

typedef struct QIROTOWER_TIMEOUTSREC {
  uint32_t Size; /* 24 */
  uint16_t Status;
  uint16_t Reserved;
  uint32_t Reserved2;
  uint32_t Timeout_Write;
  uint32_t Timeout_Read_1st;
  uint32_t Timeout_Read_ic;
} QIROTOWER_TIMEOUTSREC;

typedef struct QIROTOWER_STATEREC {
  uint32_t Size; /* 8 */
  uint16_t Status;
  uint16_t State;
} QIROTOWER_STATEREC;

/* No header: the library hands it over as it comes. */
typedef struct QIROTOWER_VERSION {
  uint8_t Reserved[8];
  uint8_t DriverMajor;
  uint8_t DriverMinor;
  uint16_t DriverBuild;
  uint8_t FirmwareMajor;
  uint8_t FirmwareMinor;
  uint16_t FirmwareBuild;
} QIROTOWER_VERSION;

typedef struct QIROTOWER_COMMSTATS {
  uint32_t Size; /* 24 */
  uint16_t Status;
  uint16_t Reserved;
  uint32_t Counter1;
  uint32_t Counter2;
  uint32_t Counter3;
  uint32_t Counter4;
} QIROTOWER_COMMSTATS;

typedef struct QIROTOWER_CAPS {
  uint32_t Size; /* 24 */
  uint16_t Status;
  uint16_t Reserved;
  uint16_t Selector;
  uint8_t Reply4;
  uint8_t Reply5;
  uint16_t Reply6;
  uint16_t Reply8;
  uint16_t Reply10;
  uint16_t Reply11;
  uint16_t Reply12;
  uint16_t Reply14;
} QIROTOWER_CAPS;

#pragma pack(pop)

#ifdef __cplusplus
#define TOWER_LAYOUT(type, field, offset) \
  static_assert(offsetof(type, field) == (offset), #type "." #field)
static_assert(sizeof(QIROTOWER_CTLREC) == 12);
TOWER_LAYOUT(QIROTOWER_CTLREC, Size, 0);
TOWER_LAYOUT(QIROTOWER_CTLREC, Status, 4);
TOWER_LAYOUT(QIROTOWER_CTLREC, Reserved, 6);
TOWER_LAYOUT(QIROTOWER_CTLREC, Payload, 8);
TOWER_LAYOUT(QIROTOWER_CTLREC, Value, 8);
TOWER_LAYOUT(QIROTOWER_CTLREC, Word.Value, 8);
TOWER_LAYOUT(QIROTOWER_CTLREC, LedMode.One, 8);
TOWER_LAYOUT(QIROTOWER_CTLREC, LedMode.Mode, 10);
TOWER_LAYOUT(QIROTOWER_CTLREC, LedState.Led, 8);
TOWER_LAYOUT(QIROTOWER_CTLREC, LedState.State, 10);
TOWER_LAYOUT(QIROTOWER_CTLREC, Flush.Flags, 8);
TOWER_LAYOUT(QIROTOWER_CTLREC, Carrier.Frequency, 8);
TOWER_LAYOUT(QIROTOWER_CTLREC, Duty.Selector, 8);
TOWER_LAYOUT(QIROTOWER_CTLREC, Duty.DutyCycle, 10);
TOWER_LAYOUT(QIROTOWER_CTLREC, Parm.Id, 8);
TOWER_LAYOUT(QIROTOWER_CTLREC, Parm.Value, 9);
TOWER_LAYOUT(QIROTOWER_CTLREC, Parm.Index, 10);

static_assert(sizeof(QIROTOWER_SPEEDREC) == 16);
TOWER_LAYOUT(QIROTOWER_SPEEDREC, Status, 4);
TOWER_LAYOUT(QIROTOWER_SPEEDREC, TxSpeed, 8);
TOWER_LAYOUT(QIROTOWER_SPEEDREC, RxSpeed, 10);
TOWER_LAYOUT(QIROTOWER_SPEEDREC, Unused, 12);
TOWER_LAYOUT(QIROTOWER_SPEEDREC, Reserved2, 14);

static_assert(sizeof(QIROTOWER_TIMEOUTSREC) == 24);
TOWER_LAYOUT(QIROTOWER_TIMEOUTSREC, Status, 4);
TOWER_LAYOUT(QIROTOWER_TIMEOUTSREC, Reserved2, 8);
TOWER_LAYOUT(QIROTOWER_TIMEOUTSREC, Timeout_Write, 12);
TOWER_LAYOUT(QIROTOWER_TIMEOUTSREC, Timeout_Read_1st, 16);
TOWER_LAYOUT(QIROTOWER_TIMEOUTSREC, Timeout_Read_ic, 20);

static_assert(sizeof(QIROTOWER_STATEREC) == 8);
TOWER_LAYOUT(QIROTOWER_STATEREC, Status, 4);
TOWER_LAYOUT(QIROTOWER_STATEREC, State, 6);

static_assert(sizeof(QIROTOWER_VERSION) == 16);
TOWER_LAYOUT(QIROTOWER_VERSION, DriverMajor, 8);
TOWER_LAYOUT(QIROTOWER_VERSION, DriverMinor, 9);
TOWER_LAYOUT(QIROTOWER_VERSION, DriverBuild, 10);
TOWER_LAYOUT(QIROTOWER_VERSION, FirmwareMajor, 12);
TOWER_LAYOUT(QIROTOWER_VERSION, FirmwareMinor, 13);
TOWER_LAYOUT(QIROTOWER_VERSION, FirmwareBuild, 14);

static_assert(sizeof(QIROTOWER_COMMSTATS) == 24);
TOWER_LAYOUT(QIROTOWER_COMMSTATS, Status, 4);
TOWER_LAYOUT(QIROTOWER_COMMSTATS, Counter1, 8);
TOWER_LAYOUT(QIROTOWER_COMMSTATS, Counter2, 12);
TOWER_LAYOUT(QIROTOWER_COMMSTATS, Counter3, 16);
TOWER_LAYOUT(QIROTOWER_COMMSTATS, Counter4, 20);

static_assert(sizeof(QIROTOWER_CAPS) == 24);
TOWER_LAYOUT(QIROTOWER_CAPS, Status, 4);
TOWER_LAYOUT(QIROTOWER_CAPS, Selector, 8);
TOWER_LAYOUT(QIROTOWER_CAPS, Reply4, 10);
TOWER_LAYOUT(QIROTOWER_CAPS, Reply5, 11);
TOWER_LAYOUT(QIROTOWER_CAPS, Reply6, 12);
TOWER_LAYOUT(QIROTOWER_CAPS, Reply8, 14);
TOWER_LAYOUT(QIROTOWER_CAPS, Reply10, 16);
TOWER_LAYOUT(QIROTOWER_CAPS, Reply11, 18);
TOWER_LAYOUT(QIROTOWER_CAPS, Reply12, 20);
TOWER_LAYOUT(QIROTOWER_CAPS, Reply14, 22);
#undef TOWER_LAYOUT

static_assert(IOCTL_TOWER_SET_RANGE == 0x222000u);
static_assert(IOCTL_TOWER_RESET == 0x222030u);
static_assert(IOCTL_TOWER_SET_PARM == 0x222080u);
static_assert(IOCTL_TOWER_GET_STATE == 0x222094u);
static_assert(IOCTL_TOWER_RESTART == 0x222098u);
#endif
