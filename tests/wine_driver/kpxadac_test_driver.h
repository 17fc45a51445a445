/* The test driver's own interface, shared by the driver (C, kernel mode) and
 * the tests that steer it (C++): the control device, its requests, the
 * journal record and the rack text. The boards themselves answer the
 * library's interface (host/driver_interface/kpxadac_ioctl.h). */
#ifndef KPXADAC_TEST_DRIVER_H
#define KPXADAC_TEST_DRIVER_H

#include <stdint.h>

/* The control device: \\.\KPXADAC_TEST (kernel name \Device\KPXADAC_TEST). */
#define KPXTEST_CONTROL_DEVICE "\\\\.\\KPXADAC_TEST"
/* The service the driver is installed as, and the registry value under its
 * service key that holds the rack it starts with (REG_SZ, rack text). */
#define KPXTEST_SERVICE "kpxadac_test"
#define KPXTEST_RACK_VALUE "Rack"

#define KPXTEST_CODE(function) ((0x8001u << 16) | ((function) << 2) | 0u /* buffered */)
/* In: rack text (below). Replaces the rack; handles open on the old one fail
 * with 6 from then on. Turns the journal on and empties it. Out: the reason
 * the text was refused (the rack is then empty), or nothing. */
#define IOCTL_KPXTEST_CONFIGURE KPXTEST_CODE(0x900)
/* Out: the journal's records, oldest first, as many as fit. */
#define IOCTL_KPXTEST_JOURNAL KPXTEST_CODE(0x901)
#define IOCTL_KPXTEST_CLEAR_JOURNAL KPXTEST_CODE(0x902)
/* In: device, offset. Out: the register as a read shows it (not counted). */
#define IOCTL_KPXTEST_PEEK_REGISTER KPXTEST_CODE(0x903)
/* In: device, offset, value. Sets it outright, ending a handshake on it. */
#define IOCTL_KPXTEST_POKE_REGISTER KPXTEST_CODE(0x904)
/* In: device. Out: KpxTestBoardState. */
#define IOCTL_KPXTEST_BOARD_STATE KPXTEST_CODE(0x905)
/* In: device, then a 64-bit address (low word first). Out: the memory. */
#define IOCTL_KPXTEST_PEEK_MEMORY KPXTEST_CODE(0x906)

/* Journal operations. */
enum {
  KPXTEST_OP_OPEN = 1,
  KPXTEST_OP_CLOSE = 2,
  KPXTEST_OP_CONTROL = 3,
  KPXTEST_OP_READ = 4,
  KPXTEST_OP_WRITE = 5
};

#define KPXTEST_JOURNAL_DATA 64
/* One operation that reached a board device. `data`: control requests the
 * first bytes of the input block, reads the first bytes delivered, writes
 * the first bytes written, opens the device number in decimal. */
typedef struct KpxTestJournalRecord {
  uint32_t op;
  int32_t device;
  uint32_t code;
  uint32_t inLength;
  uint32_t outLength;
  uint32_t length;
  uint32_t ok;
  uint32_t error; /* the Windows error number the caller sees */
  uint32_t returned;
  uint32_t dataLength;
  uint8_t data[KPXTEST_JOURNAL_DATA];
} KpxTestJournalRecord;

typedef struct KpxTestBoardState {
  uint32_t present;
  uint32_t fpgaConfigured;
  uint32_t locked;
  uint32_t synthesizerProgrammed;
  uint32_t sampleIndexLow; /* next sample of the channel since the reset */
  uint32_t sampleIndexHigh;
  uint32_t pendingReads; /* reads held by a "pend" fault */
} KpxTestBoardState;

/* Rack text: items separated by newlines or ';', each a kind followed by
 * key=value words (numbers decimal or 0x hex; counts "never" or -1):
 *
 *   board device=0 id=0x8A ident=4B:50:58:01:00 status=0 fixed=0
 *         ready=3 busy=3 table=2 sequence=3 result=4 bitstream=0 rx=0 tx=0
 *   register device=0 offset=0x70 value=5
 *   fault device=0 op=IOCTL_GET_HSREG error=31 skip=0 count=1
 *         returned=6 rx=0 tx=0 pend=1
 *   journal
 *
 * Defaults are those of the virtual boards (docs/virtual-boards.md); a
 * fault's op is a request name or open, read, write; without count it
 * affects every later operation. The rack without text is "board device=0". */

#endif
