/* A WDM driver that plays KPX-ADAC boards, for testing the library's Windows
 * backend under Wine. It is a test fixture, not a driver for real boards.
 *
 * It creates \Device\KPXADAC_<n> (link \DosDevices\KPXADAC_<n>) for each
 * board of its rack, so that a missing board's name is not found, and the
 * control device \Device\KPXADAC_TEST. The boards
 * answer the library's control codes with their block layouts, stream the
 * ramp (sample k since the last IOCTL_TALVO_RESET is k mod 65536) and move
 * the registers the clock set-up and the sequence wait poll, as the virtual
 * boards do. The rack comes from the text in the service key's "Rack" value,
 * or from IOCTL_KPXTEST_CONFIGURE on the control device. */
#include "kpxadac_test_driver.h"

#include <ntddk.h>

#define BOARD_DEVICES 65
#define MAX_REGISTERS 256
#define MAX_FAULTS 16
#define MEMORY_BUCKETS 1024
#define MEMORY_PAGE 4096
#define JOURNAL_CAPACITY 16384
#define POOL_TAG 0x5458504Bu /* "KPXT" */
#define NEVER (-1)

/* Control codes of the boards, a C copy of the table in
 * host/driver_interface/kpxadac_ioctl.h: that header is C++ (constexpr), and
 * this driver is built as C for Windows with none of the SDK's headers, as a
 * driver from elsewhere would be. A request added there is added here. */
#define BOARD_CODE(function, method) ((0x8000u << 16) | ((function) << 2) | (method))
#define IOCTL_SET_FPGA_BITSTREAM BOARD_CODE(0x800, 0)
#define IOCTL_GET_BOARD_ID BOARD_CODE(0x801, 0)
#define IOCTL_GET_HSREG BOARD_CODE(0x802, 0)
#define IOCTL_WRITE_SET_HSREG BOARD_CODE(0x803, 0)
#define IOCTL_READ_FPGA_MEM BOARD_CODE(0x804, 1)
#define IOCTL_WRITE_FPGA_MEM BOARD_CODE(0x805, 2)
#define IOCTL_TALVO_PRELOAD_WRITE BOARD_CODE(0x80B, 0)
#define IOCTL_GET_TALVO_ERROR BOARD_CODE(0x80C, 0)
#define IOCTL_TALVO_RESET BOARD_CODE(0x80D, 0)
#define IOCTL_TALVO_FLOWCONTROL BOARD_CODE(0x80E, 0)
#define IOCTL_GET_PROFILING BOARD_CODE(0x80F, 0)
#define IOCTL_RESET_PROFILING BOARD_CODE(0x810, 0)
#define IOCTL_V360_DEBUG BOARD_CODE(0x816, 0)
#define IOCTL_LOCK_BOARD BOARD_CODE(0x817, 3)
#define IOCTL_UNLOCK_BOARD BOARD_CODE(0x818, 3)
#define IOCTL_GET_BOARD_STATUS BOARD_CODE(0x819, 0)
#define IOCTL_V360_RESET BOARD_CODE(0x81A, 3)
#define IOCTL_GET_FIXED_CLOCK BOARD_CODE(0x822, 0)
#define IOCTL_SET_TRANSFER_WORDS BOARD_CODE(0x824, 0)

#define VARIABLE 0xFFFFFFFFu /* n + 4 bytes in, or any output length */

typedef struct RequestInfo {
  ULONG code;
  const char* name;
  ULONG inLength;
  ULONG outLength;
} RequestInfo;

static const RequestInfo kRequests[] = {
    {IOCTL_SET_FPGA_BITSTREAM, "IOCTL_SET_FPGA_BITSTREAM", VARIABLE, 4},
    {IOCTL_GET_BOARD_ID, "IOCTL_GET_BOARD_ID", 0, 6},
    {IOCTL_GET_HSREG, "IOCTL_GET_HSREG", 4, 4},
    {IOCTL_WRITE_SET_HSREG, "IOCTL_WRITE_SET_HSREG", 8, 4},
    {IOCTL_READ_FPGA_MEM, "IOCTL_READ_FPGA_MEM", 8, VARIABLE},
    {IOCTL_WRITE_FPGA_MEM, "IOCTL_WRITE_FPGA_MEM", 8, VARIABLE},
    {IOCTL_TALVO_PRELOAD_WRITE, "IOCTL_TALVO_PRELOAD_WRITE", VARIABLE, 0},
    {IOCTL_GET_TALVO_ERROR, "IOCTL_GET_TALVO_ERROR", 0, 8},
    {IOCTL_TALVO_RESET, "IOCTL_TALVO_RESET", 2, 0},
    {IOCTL_TALVO_FLOWCONTROL, "IOCTL_TALVO_FLOWCONTROL", 2, 0},
    {IOCTL_GET_PROFILING, "IOCTL_GET_PROFILING", 0, 20},
    {IOCTL_RESET_PROFILING, "IOCTL_RESET_PROFILING", 2, 0},
    {IOCTL_V360_DEBUG, "IOCTL_V360_DEBUG", 0, 44},
    {IOCTL_LOCK_BOARD, "IOCTL_LOCK_BOARD", 0, 0},
    {IOCTL_UNLOCK_BOARD, "IOCTL_UNLOCK_BOARD", 0, 0},
    {IOCTL_GET_BOARD_STATUS, "IOCTL_GET_BOARD_STATUS", 0, 1},
    {IOCTL_V360_RESET, "IOCTL_V360_RESET", 0, 0},
    {IOCTL_GET_FIXED_CLOCK, "IOCTL_GET_FIXED_CLOCK", 0, 1},
    {IOCTL_SET_TRANSFER_WORDS, "IOCTL_SET_TRANSFER_WORDS", 4, 0},
};
#define REQUEST_COUNT (sizeof(kRequests) / sizeof(kRequests[0]))

/* Registers that move by themselves. */
#define REG_CLOCK 8u
#define CLOCK_SYNTH_START 0x08u
#define CLOCK_BUSY 0x40u
#define CLOCK_RESET 0x80u
#define CLOCK_READY 0x100u
#define REG_RUN 28u
#define RUN_BIT 0x1u
#define REG_TABLE_CONTROL 36u
#define TABLE_BUSY (1u << 17)
#define REG_SEQUENCE_STATUS 0x1010u
#define SEQUENCE_START (1u << 17)
#define SEQUENCE_CODE_SHIFT 24
#define SEQUENCE_CODE_MASK (0xFu << 24)
#define SEQUENCE_RUNNING_CODE 2u
#define REG_SEQUENCE_STATE 0x1080u
#define STATUS_FPGA_CONFIGURED 0x01u

/* Windows error numbers the library prints, and the NTSTATUS each is
 * completed with; the I/O manager's RtlNtStatusToDosError turns the status
 * back into the same number. Others travel as FACILITY_NTWIN32 statuses
 * (0xC007xxxx), which that function maps to their low word. */
typedef struct ErrorStatus {
  ULONG error;
  NTSTATUS status;
} ErrorStatus;

static const ErrorStatus kErrorStatus[] = {
    {1, STATUS_INVALID_DEVICE_REQUEST}, {2, STATUS_OBJECT_NAME_NOT_FOUND},
    {6, STATUS_INVALID_HANDLE},         {8, STATUS_NO_MEMORY},
    {31, STATUS_UNSUCCESSFUL},          {32, STATUS_SHARING_VIOLATION},
    {87, STATUS_INVALID_PARAMETER},     {121, STATUS_IO_TIMEOUT},
    {122, STATUS_BUFFER_TOO_SMALL},     {158, STATUS_NOT_LOCKED},
    {170, STATUS_DEVICE_BUSY},          {995, STATUS_CANCELLED},
    {1168, STATUS_NOT_FOUND},
};

static NTSTATUS statusOfError(ULONG error) {
  ULONG i;
  for (i = 0; i < sizeof(kErrorStatus) / sizeof(kErrorStatus[0]); ++i)
    if (kErrorStatus[i].error == error) return kErrorStatus[i].status;
  return (NTSTATUS)(0xC0070000u | (error & 0xFFFFu));
}

static ULONG errorOfStatus(NTSTATUS status) {
  ULONG i;
  for (i = 0; i < sizeof(kErrorStatus) / sizeof(kErrorStatus[0]); ++i)
    if (kErrorStatus[i].status == status) return kErrorStatus[i].error;
  return (ULONG)status & 0xFFFFu;
}

/* ---- The rack ------------------------------------------------------------ */

/* A status bit that keeps its busy value for a number of reads of its
 * register (NEVER: for ever) and then changes by itself. */
typedef struct Countdown {
  BOOLEAN active;
  LONG remaining;
} Countdown;

static void countdownStart(Countdown* c, LONG reads) {
  c->active = TRUE;
  c->remaining = reads;
}

/* Counts one read; TRUE when this read is the one that sees it finished. */
static BOOLEAN countdownFinishes(Countdown* c) {
  if (!c->active || c->remaining == NEVER) return FALSE;
  if (c->remaining == 0) {
    c->active = FALSE;
    return TRUE;
  }
  --c->remaining;
  return FALSE;
}

#define OP_OPEN 1u
#define OP_READ 2u
#define OP_WRITE 3u

typedef struct Fault {
  ULONG op; /* a control code, or OP_OPEN / OP_READ / OP_WRITE */
  ULONG error;
  ULONG skip;
  LONG count;    /* NEVER: every later operation */
  LONG returned; /* -1: none */
  ULONG rxOverrun, txUnderrun;
  BOOLEAN fails, pend;
  ULONG seen;
} Fault;

typedef struct MemoryPage {
  struct MemoryPage* next;
  ULONGLONG number;
  UCHAR bytes[MEMORY_PAGE];
} MemoryPage;

typedef struct Board {
  BOOLEAN present;
  /* configuration */
  ULONG boardId;
  UCHAR ident[5];
  UCHAR status;
  UCHAR fixedClock;
  LONG readyAfterReads, busyReads, tableBusyReads, sequenceReads;
  ULONG sequenceResult;
  ULONG bitstreamResult;
  Fault faults[MAX_FAULTS];
  ULONG faultCount;
  /* state */
  ULONG regOffset[MAX_REGISTERS], regValue[MAX_REGISTERS];
  ULONG regCount;
  Countdown clockReady, synthBusy, tableBusy, sequence;
  BOOLEAN synthesizerProgrammed, fpgaConfigured;
  PFILE_OBJECT lockOwner;
  ULONG profiling[5]; /* controls, reads, bytes read, writes, bytes written */
  ULONG v360Resets;
  ULONGLONG position; /* next byte of the sample stream */
  BOOLEAN announced;
  ULONG announcedWords;
  ULONG rxOverrun, txUnderrun;
  UCHAR flowControl[2];
  MemoryPage* memory[MEMORY_BUCKETS];
  ULONG pendingReads;
} Board;

/* Device extension: which device this is. */
typedef struct DeviceInfo {
  LONG board; /* 0..64, or -1 for the control device */
} DeviceInfo;

static FAST_MUTEX gLock; /* everything below */
static Board gBoards[BOARD_DEVICES];
static ULONG gGeneration = 1; /* handles remember it; a new rack bumps it */
static BOOLEAN gJournalOn;
static KpxTestJournalRecord* gJournal;
static ULONG gJournalStart, gJournalCount;
static PDEVICE_OBJECT gDevices[BOARD_DEVICES + 1]; /* the boards', then the control device */
static PDRIVER_OBJECT gDriver;

/* A fast mutex costs an interlocked operation when nobody waits; Wine turns
 * a dispatcher mutex wait into a server call. */
static void lock(void) {
  ExAcquireFastMutex(&gLock);
}
static void unlock(void) {
  ExReleaseFastMutex(&gLock);
}

static ULONG loadWord(const UCHAR* p) {
  return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}
static void storeWord(UCHAR* p, ULONG v) {
  int i;
  for (i = 0; i < 4; ++i) p[i] = (UCHAR)(v >> (8 * i));
}
static void storeHalf(UCHAR* p, USHORT v) {
  p[0] = (UCHAR)v;
  p[1] = (UCHAR)(v >> 8);
}
static void copyBytes(void* to, const void* from, SIZE_T n) {
  UCHAR* t = (UCHAR*)to;
  const UCHAR* f = (const UCHAR*)from;
  while (n--) *t++ = *f++;
}
static void zeroBytes(void* to, SIZE_T n) {
  UCHAR* t = (UCHAR*)to;
  while (n--) *t++ = 0;
}

/* ---- Journal (under gLock) ------------------------------------------------ */

static void journal(ULONG op, LONG device, ULONG code, ULONG inLength, ULONG outLength,
                    ULONG length, NTSTATUS status, ULONG returned, const void* data,
                    ULONG dataLength) {
  KpxTestJournalRecord* r;
  if (!gJournalOn || !gJournal) return;
  if (gJournalCount == JOURNAL_CAPACITY) {
    gJournalStart = (gJournalStart + 1) % JOURNAL_CAPACITY;
    --gJournalCount;
  }
  r = &gJournal[(gJournalStart + gJournalCount++) % JOURNAL_CAPACITY];
  zeroBytes(r, sizeof(*r));
  r->op = op;
  r->device = device;
  r->code = code;
  r->inLength = inLength;
  r->outLength = outLength;
  r->length = length;
  r->ok = NT_SUCCESS(status) && status != STATUS_DEVICE_BUSY;
  r->error = r->ok ? 0 : errorOfStatus(status);
  r->returned = r->ok ? returned : 0;
  if (data) {
    r->dataLength = dataLength < KPXTEST_JOURNAL_DATA ? dataLength : KPXTEST_JOURNAL_DATA;
    copyBytes(r->data, data, r->dataLength);
  }
}

/* ---- Board memory (sparse, byte-addressed, reads 0 until written) ---------- */

static MemoryPage* findPage(Board* b, ULONGLONG number, BOOLEAN create) {
  ULONG bucket = (ULONG)(number % MEMORY_BUCKETS);
  MemoryPage* p;
  for (p = b->memory[bucket]; p; p = p->next)
    if (p->number == number) return p;
  if (!create) return NULL;
  p = (MemoryPage*)ExAllocatePoolWithTag(NonPagedPool, sizeof(MemoryPage), POOL_TAG);
  if (!p) return NULL;
  zeroBytes(p->bytes, MEMORY_PAGE);
  p->number = number;
  p->next = b->memory[bucket];
  b->memory[bucket] = p;
  return p;
}

static NTSTATUS moveMemory(Board* b, ULONGLONG address, UCHAR* data, ULONG length,
                           BOOLEAN toBoard) {
  while (length) {
    ULONG offset = (ULONG)(address % MEMORY_PAGE);
    ULONG piece = MEMORY_PAGE - offset;
    MemoryPage* page = findPage(b, address / MEMORY_PAGE, toBoard);
    if (piece > length) piece = length;
    if (toBoard) {
      if (!page) return STATUS_NO_MEMORY;
      copyBytes(page->bytes + offset, data, piece);
    } else if (page) {
      copyBytes(data, page->bytes + offset, piece);
    } else {
      zeroBytes(data, piece);
    }
    address += piece;
    data += piece;
    length -= piece;
  }
  return STATUS_SUCCESS;
}

static void freeMemory(Board* b) {
  ULONG i;
  for (i = 0; i < MEMORY_BUCKETS; ++i) {
    while (b->memory[i]) {
      MemoryPage* next = b->memory[i]->next;
      ExFreePoolWithTag(b->memory[i], POOL_TAG);
      b->memory[i] = next;
    }
  }
}

/* ---- Registers ------------------------------------------------------------ */

static ULONG* registerSlot(Board* b, ULONG offset, BOOLEAN create) {
  ULONG i;
  for (i = 0; i < b->regCount; ++i)
    if (b->regOffset[i] == offset) return &b->regValue[i];
  if (!create || b->regCount == MAX_REGISTERS) return NULL;
  b->regOffset[b->regCount] = offset;
  b->regValue[b->regCount] = 0;
  return &b->regValue[b->regCount++];
}

static ULONG visibleRegister(Board* b, ULONG offset) {
  ULONG* slot = registerSlot(b, offset, FALSE);
  ULONG value = slot ? *slot : 0;
  if (offset == REG_SEQUENCE_STATE) value = (value & ~3u) | (b->sequence.active ? 2u : 0u);
  return value;
}

static void storeRegister(Board* b, ULONG offset, ULONG value) {
  ULONG* slot = registerSlot(b, offset, TRUE);
  if (slot) *slot = value;
}

static ULONG readRegister(Board* b, ULONG offset) {
  if (offset == REG_CLOCK) {
    ULONG clock = visibleRegister(b, REG_CLOCK);
    if (countdownFinishes(&b->clockReady)) clock |= CLOCK_READY;
    if (countdownFinishes(&b->synthBusy)) {
      clock &= ~CLOCK_BUSY;
      b->synthesizerProgrammed = TRUE;
    }
    storeRegister(b, REG_CLOCK, clock);
  } else if (offset == REG_TABLE_CONTROL) {
    if (countdownFinishes(&b->tableBusy))
      storeRegister(b, offset, visibleRegister(b, offset) & ~TABLE_BUSY);
  } else if (offset == REG_SEQUENCE_STATUS) {
    if (countdownFinishes(&b->sequence))
      storeRegister(b, offset,
                    (visibleRegister(b, offset) & ~SEQUENCE_CODE_MASK) |
                        b->sequenceResult << SEQUENCE_CODE_SHIFT);
  }
  return visibleRegister(b, offset);
}

static void writeRegister(Board* b, ULONG offset, ULONG value) {
  ULONG old = visibleRegister(b, offset);
  if (offset == REG_CLOCK) {
    const ULONG startBits = CLOCK_SYNTH_START | CLOCK_BUSY;
    /* Ready is a status bit: the board, not the writer, decides it. */
    value = (value & ~CLOCK_READY) | (old & CLOCK_READY);
    if (!(old & CLOCK_RESET) && (value & CLOCK_RESET)) {
      value &= ~CLOCK_READY;
      countdownStart(&b->clockReady, b->readyAfterReads);
    }
    if ((value & startBits) == startBits && (old & startBits) != startBits)
      countdownStart(&b->synthBusy, b->busyReads);
    if (b->synthBusy.active) value |= CLOCK_BUSY;
  } else if (offset == REG_TABLE_CONTROL) {
    if ((value & TABLE_BUSY) && !(old & TABLE_BUSY))
      countdownStart(&b->tableBusy, b->tableBusyReads);
    if (b->tableBusy.active) value |= TABLE_BUSY;
  } else if (offset == REG_SEQUENCE_STATUS) {
    if ((value & SEQUENCE_START) && !(old & SEQUENCE_START))
      countdownStart(&b->sequence, b->sequenceReads);
    if (b->sequence.active)
      value = (value & ~SEQUENCE_CODE_MASK) | SEQUENCE_RUNNING_CODE << SEQUENCE_CODE_SHIFT;
  }
  storeRegister(b, offset, value);
}

static void pokeRegister(Board* b, ULONG offset, ULONG value) {
  if (offset == REG_CLOCK) b->clockReady.active = b->synthBusy.active = FALSE;
  if (offset == REG_TABLE_CONTROL) b->tableBusy.active = FALSE;
  if (offset == REG_SEQUENCE_STATUS) b->sequence.active = FALSE;
  storeRegister(b, offset, value);
}

static BOOLEAN streaming(Board* b) {
  return (visibleRegister(b, REG_RUN) & RUN_BIT) && (visibleRegister(b, REG_CLOCK) & CLOCK_READY);
}

/* Byte `position` of the ramp: sample k is k mod 65536, little-endian. */
static void fillRamp(UCHAR* buffer, ULONGLONG position, ULONG count) {
  ULONG i;
  for (i = 0; i < count; ++i, ++position) {
    USHORT sample = (USHORT)(position >> 1);
    buffer[i] = (UCHAR)((position & 1) ? sample >> 8 : sample);
  }
}

/* ---- Rack text -------------------------------------------------------------- */

typedef struct Parser {
  const char* text;
  ULONG length;
  ULONG at;
  char* reason; /* where a failure's reason goes, may be NULL */
  ULONG reasonSize;
} Parser;

static BOOLEAN sameWord(const char* a, ULONG aLength, const char* b) {
  ULONG i;
  for (i = 0; i < aLength; ++i)
    if (!b[i] || a[i] != b[i]) return FALSE;
  return b[aLength] == 0;
}

static BOOLEAN fail(Parser* p, const char* what, const char* word, ULONG wordLength) {
  ULONG n = 0;
  if (p->reason && p->reasonSize) {
    while (*what && n + 1 < p->reasonSize) p->reason[n++] = *what++;
    while (wordLength-- && n + 1 < p->reasonSize) p->reason[n++] = *word++;
    p->reason[n] = 0;
  }
  return FALSE;
}

/* A number, decimal or 0x hex, optionally negative; "never" is NEVER. */
static BOOLEAN parseNumber(const char* s, ULONG length, LONGLONG* value) {
  BOOLEAN negative = FALSE;
  ULONGLONG v = 0;
  ULONG base = 10, i = 0;
  if (sameWord(s, length, "never")) {
    *value = NEVER;
    return TRUE;
  }
  if (length && s[0] == '-') negative = TRUE, ++i;
  if (length >= i + 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) base = 16, i += 2;
  if (i == length) return FALSE;
  for (; i < length; ++i) {
    char c = s[i];
    ULONG digit;
    if (c >= '0' && c <= '9')
      digit = (ULONG)(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = (ULONG)(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = (ULONG)(c - 'A' + 10);
    else
      return FALSE;
    v = v * base + digit;
    if (v > 0xFFFFFFFFull) return FALSE;
  }
  *value = negative ? -(LONGLONG)v : (LONGLONG)v;
  return TRUE;
}

typedef struct Item {
  char kind[16];
  const char* key[16];
  ULONG keyLength[16];
  const char* value[16];
  ULONG valueLength[16];
  ULONG count;
} Item;

/* Reads the next item; FALSE at the end of the text. */
static BOOLEAN nextItem(Parser* p, Item* item, BOOLEAN* bad) {
  ULONG kindLength = 0;
  *bad = FALSE;
  item->count = 0;
  for (;;) {
    const char* word;
    ULONG wordLength = 0, eq;
    while (p->at < p->length &&
           (p->text[p->at] == ' ' || p->text[p->at] == '\t' || p->text[p->at] == '\r'))
      ++p->at;
    if (p->at == p->length || p->text[p->at] == '\n' || p->text[p->at] == ';' ||
        p->text[p->at] == 0) {
      if (p->at < p->length && p->text[p->at] != 0) ++p->at;
      if (kindLength) return TRUE;
      if (p->at >= p->length || p->text[p->at - 1] == 0) return FALSE;
      continue;
    }
    word = p->text + p->at;
    while (p->at < p->length && p->text[p->at] != ' ' && p->text[p->at] != '\t' &&
           p->text[p->at] != '\r' && p->text[p->at] != '\n' && p->text[p->at] != ';' &&
           p->text[p->at] != 0)
      ++p->at, ++wordLength;
    if (!kindLength) {
      if (wordLength >= sizeof(item->kind))
        return *bad = TRUE, fail(p, "unknown item ", word, wordLength);
      copyBytes(item->kind, word, wordLength);
      item->kind[wordLength] = 0;
      kindLength = wordLength;
      continue;
    }
    for (eq = 0; eq < wordLength && word[eq] != '='; ++eq) {
    }
    if (eq == wordLength || item->count == 16)
      return *bad = TRUE, fail(p, "expected key=value: ", word, wordLength);
    item->key[item->count] = word;
    item->keyLength[item->count] = eq;
    item->value[item->count] = word + eq + 1;
    item->valueLength[item->count] = wordLength - eq - 1;
    ++item->count;
  }
}

static void defaultBoard(Board* b) {
  static const UCHAR ident[5] = {0x4B, 0x50, 0x58, 0x01, 0x00}; /* "KPX", version 1.0 */
  zeroBytes(b, sizeof(*b));
  b->present = TRUE;
  b->boardId = 0x8A;
  copyBytes(b->ident, ident, 5);
  b->readyAfterReads = 3;
  b->busyReads = 3;
  b->tableBusyReads = 2;
  b->sequenceReads = 3;
  b->sequenceResult = 4;
}

/* Five bytes in hex, separated by ':' or ',' ("4B:50:58:01:00"). */
static BOOLEAN parseIdent(const char* s, ULONG length, UCHAR ident[5]) {
  ULONG n = 0, i = 0;
  for (;;) {
    ULONG digits = 0, v = 0;
    if (length - i >= 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) i += 2;
    for (; i < length && s[i] != ':' && s[i] != ','; ++i, ++digits) {
      char c = s[i];
      if (c >= '0' && c <= '9')
        v = v * 16 + (ULONG)(c - '0');
      else if (c >= 'a' && c <= 'f')
        v = v * 16 + (ULONG)(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v = v * 16 + (ULONG)(c - 'A' + 10);
      else
        return FALSE;
    }
    if (digits == 0 || digits > 2 || n == 5) return FALSE;
    ident[n++] = (UCHAR)v;
    if (i == length) return n == 5;
    ++i;
  }
}

static ULONG textLength(const char* s) {
  ULONG n = 0;
  while (s[n]) ++n;
  return n;
}

static ULONG opOfName(const char* s, ULONG length) {
  ULONG i;
  if (sameWord(s, length, "open")) return OP_OPEN;
  if (sameWord(s, length, "read")) return OP_READ;
  if (sameWord(s, length, "write")) return OP_WRITE;
  for (i = 0; i < REQUEST_COUNT; ++i)
    if (sameWord(s, length, kRequests[i].name)) return kRequests[i].code;
  return 0;
}

/* Builds the rack described by `text` into `boards`. */
static BOOLEAN parseRack(Parser* p, Board* boards, BOOLEAN* journalOn) {
  Item item;
  BOOLEAN bad;
  while (nextItem(p, &item, &bad)) {
    LONG device = -1;
    Board* b = NULL;
    Fault* f = NULL;
    ULONG offset = 0, value = 0, i;
    BOOLEAN isBoard = sameWord(item.kind, textLength(item.kind), "board");
    BOOLEAN isRegister = sameWord(item.kind, textLength(item.kind), "register");
    BOOLEAN isFault = sameWord(item.kind, textLength(item.kind), "fault");
    if (sameWord(item.kind, textLength(item.kind), "journal")) {
      *journalOn = TRUE;
      continue;
    }
    if (!isBoard && !isRegister && !isFault)
      return fail(p, "unknown item ", item.kind, textLength(item.kind));
    for (i = 0; i < item.count; ++i) {
      LONGLONG v;
      if (!sameWord(item.key[i], item.keyLength[i], "device")) continue;
      if (!parseNumber(item.value[i], item.valueLength[i], &v) || v < 0 || v >= BOARD_DEVICES)
        return fail(p, "bad device ", item.value[i], item.valueLength[i]);
      device = (LONG)v;
    }
    if (device < 0) return fail(p, "no device in ", item.kind, textLength(item.kind));
    b = &boards[device];
    if (isBoard) {
      if (b->present) return fail(p, "a device is given twice", "", 0);
      defaultBoard(b);
    } else if (!b->present) {
      return fail(p, "no board at the device of ", item.kind, textLength(item.kind));
    }
    if (isFault) {
      if (b->faultCount == MAX_FAULTS) return fail(p, "too many faults", "", 0);
      f = &b->faults[b->faultCount++];
      zeroBytes(f, sizeof(*f));
      f->error = 31;
      f->count = NEVER;
      f->returned = -1;
      f->fails = TRUE;
    }
    for (i = 0; i < item.count; ++i) {
      const char* k = item.key[i];
      ULONG kl = item.keyLength[i];
      LONGLONG v = 0;
      BOOLEAN numeric = parseNumber(item.value[i], item.valueLength[i], &v);
      if (sameWord(k, kl, "device")) continue;
      if (isFault && sameWord(k, kl, "op")) {
        f->op = opOfName(item.value[i], item.valueLength[i]);
        if (!f->op) return fail(p, "unknown fault op ", item.value[i], item.valueLength[i]);
        continue;
      }
      if (isBoard && sameWord(k, kl, "ident")) {
        if (!parseIdent(item.value[i], item.valueLength[i], b->ident))
          return fail(p, "bad ident ", item.value[i], item.valueLength[i]);
        continue;
      }
      if (!numeric) return fail(p, "bad number ", item.value[i], item.valueLength[i]);
      if (isBoard) {
        if (sameWord(k, kl, "id"))
          b->boardId = (ULONG)v & 0xFF;
        else if (sameWord(k, kl, "status"))
          b->status = (UCHAR)v;
        else if (sameWord(k, kl, "fixed"))
          b->fixedClock = (UCHAR)v;
        else if (sameWord(k, kl, "ready"))
          b->readyAfterReads = (LONG)v;
        else if (sameWord(k, kl, "busy"))
          b->busyReads = (LONG)v;
        else if (sameWord(k, kl, "table"))
          b->tableBusyReads = (LONG)v;
        else if (sameWord(k, kl, "sequence"))
          b->sequenceReads = (LONG)v;
        else if (sameWord(k, kl, "result"))
          b->sequenceResult = (ULONG)v & 0xF;
        else if (sameWord(k, kl, "bitstream"))
          b->bitstreamResult = (ULONG)v;
        else if (sameWord(k, kl, "rx"))
          b->rxOverrun = (ULONG)v;
        else if (sameWord(k, kl, "tx"))
          b->txUnderrun = (ULONG)v;
        else
          return fail(p, "unknown board key ", k, kl);
      } else if (isRegister) {
        if (sameWord(k, kl, "offset"))
          offset = (ULONG)v;
        else if (sameWord(k, kl, "value"))
          value = (ULONG)v;
        else
          return fail(p, "unknown register key ", k, kl);
      } else {
        if (sameWord(k, kl, "error"))
          f->error = (ULONG)v;
        else if (sameWord(k, kl, "skip"))
          f->skip = (ULONG)v;
        else if (sameWord(k, kl, "count"))
          f->count = (LONG)v;
        else if (sameWord(k, kl, "returned"))
          f->returned = (LONG)v, f->fails = FALSE;
        else if (sameWord(k, kl, "rx"))
          f->rxOverrun = (ULONG)v;
        else if (sameWord(k, kl, "tx"))
          f->txUnderrun = (ULONG)v;
        else if (sameWord(k, kl, "pend"))
          f->pend = v != 0;
        else if (sameWord(k, kl, "fails"))
          f->fails = v != 0;
        else
          return fail(p, "unknown fault key ", k, kl);
      }
    }
    if (isRegister) storeRegister(b, offset, value);
    if (isFault && !f->op) return fail(p, "fault without op", "", 0);
  }
  if (bad) return FALSE;
  /* A board whose clock can become ready starts with it ready, unless the
   * text gives the clock register. */
  {
    LONG d;
    for (d = 0; d < BOARD_DEVICES; ++d)
      if (boards[d].present && boards[d].readyAfterReads != NEVER &&
          !registerSlot(&boards[d], REG_CLOCK, FALSE))
        storeRegister(&boards[d], REG_CLOCK, CLOCK_READY);
  }
  return TRUE;
}

static Board* gStaging; /* the rack being built, swapped in whole */
static void followRack(void);

/* Replaces the rack (under gLock). On failure the rack is empty. */
static BOOLEAN installRack(const char* text, ULONG length, char* reason, ULONG reasonSize) {
  Parser p = {text, length, 0, reason, reasonSize};
  BOOLEAN journalOn = FALSE, ok;
  LONG d;
  for (d = 0; d < BOARD_DEVICES; ++d) freeMemory(&gBoards[d]);
  zeroBytes(gStaging, sizeof(Board) * BOARD_DEVICES);
  ok = parseRack(&p, gStaging, &journalOn);
  if (!ok) zeroBytes(gStaging, sizeof(Board) * BOARD_DEVICES);
  copyBytes(gBoards, gStaging, sizeof(Board) * BOARD_DEVICES);
  ++gGeneration;
  followRack();
  if (journalOn) gJournalOn = TRUE;
  return ok;
}

/* ---- Faults ----------------------------------------------------------------- */

/* The fault rule that applies to this operation, if any; counts it. */
static Fault* takeFault(Board* b, ULONG op) {
  Fault* fired = NULL;
  ULONG i;
  for (i = 0; i < b->faultCount; ++i) {
    Fault* f = &b->faults[i];
    ULONG seen;
    if (f->op != op) continue;
    seen = f->seen;
    if (seen != 0xFFFFFFFFu) ++f->seen;
    if (seen >= f->skip && (f->count == NEVER || seen - f->skip < (ULONG)f->count) && !fired)
      fired = f;
  }
  if (fired) {
    b->rxOverrun += fired->rxOverrun;
    b->txUnderrun += fired->txUnderrun;
  }
  return fired;
}

/* ---- Dispatch --------------------------------------------------------------- */

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static LONG boardOfDevice(PDEVICE_OBJECT device) {
  return ((DeviceInfo*)device->DeviceExtension)->board;
}

/* The board behind an open handle, or NULL for one opened on an old rack. */
static Board* boardOfFile(PDEVICE_OBJECT device, PFILE_OBJECT file) {
  LONG n = boardOfDevice(device);
  if (n < 0 || (ULONG_PTR)file->FsContext != gGeneration || !gBoards[n].present) return NULL;
  return &gBoards[n];
}

static NTSTATUS dispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  LONG n = boardOfDevice(device);
  NTSTATUS status = STATUS_SUCCESS;
  char name[4];
  ULONG nameLength = 0;
  Fault* fault;
  if (n < 0) return complete(irp, STATUS_SUCCESS, 0);
  lock();
  if (n >= 100) name[nameLength++] = (char)('0' + n / 100);
  if (n >= 10) name[nameLength++] = (char)('0' + n / 10 % 10);
  name[nameLength++] = (char)('0' + n % 10);
  if (!gBoards[n].present) {
    status = STATUS_OBJECT_NAME_NOT_FOUND;
  } else if ((fault = takeFault(&gBoards[n], OP_OPEN)) && fault->fails) {
    status = statusOfError(fault->error);
  } else {
    stack->FileObject->FsContext = (PVOID)(ULONG_PTR)gGeneration;
  }
  journal(KPXTEST_OP_OPEN, n, 0, 0, 0, 0, status, 0, name, nameLength);
  unlock();
  return complete(irp, status, 0);
}

static NTSTATUS dispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  LONG n = boardOfDevice(device);
  if (n >= 0) {
    Board* b;
    lock();
    b = boardOfFile(device, stack->FileObject);
    if (b && b->lockOwner == stack->FileObject) b->lockOwner = NULL;
    journal(KPXTEST_OP_CLOSE, n, 0, 0, 0, 0, STATUS_SUCCESS, 0, NULL, 0);
    unlock();
  }
  return complete(irp, STATUS_SUCCESS, 0);
}

static void fillDebugSnapshot(Board* b, UCHAR* out) {
  static const int halves[] = {0, 2, 6, 24, 26, 28, 30};
  static const int words[] = {8, 12, 16, 20, 36};
  int i;
  for (i = 0; i < 7; ++i) storeHalf(out + halves[i], (USHORT)(0x1600 + halves[i]));
  out[4] = 0xA4;
  out[5] = 0xA5;
  for (i = 0; i < 5; ++i) storeWord(out + words[i], 0x32000000u + (ULONG)words[i]);
  out[32] = 0x80 + 32;
  out[33] = 0x80 + 33;
  out[34] = 0xEE;
  out[35] = 0xEF;
  storeWord(out + 40, 0x32000000u + 40 + b->v360Resets);
}

/* A board request with its lengths checked (under gLock). */
static NTSTATUS boardControl(Board* b, PFILE_OBJECT file, ULONG code, const UCHAR* in, UCHAR* out,
                             ULONG outLength, ULONG* returned) {
  *returned = outLength;
  switch (code) {
    case IOCTL_READ_FPGA_MEM:
    case IOCTL_WRITE_FPGA_MEM: {
      NTSTATUS status;
      /* The count still to move includes this chunk. */
      if (loadWord(in + 4) < outLength) return STATUS_INVALID_PARAMETER;
      status = moveMemory(b, loadWord(in), out, outLength, code == IOCTL_WRITE_FPGA_MEM);
      if (!NT_SUCCESS(status)) return status;
      break;
    }
    case IOCTL_SET_FPGA_BITSTREAM:
      b->fpgaConfigured = TRUE;
      storeWord(out, b->bitstreamResult);
      break;
    case IOCTL_GET_BOARD_ID:
      copyBytes(out, b->ident, 5);
      out[5] = (UCHAR)b->boardId;
      break;
    case IOCTL_GET_HSREG:
      storeWord(out, readRegister(b, loadWord(in)));
      break;
    case IOCTL_WRITE_SET_HSREG: {
      ULONG value = loadWord(in + 4);
      writeRegister(b, loadWord(in), value);
      storeWord(out, value);
      break;
    }
    case IOCTL_TALVO_PRELOAD_WRITE:
      *returned = loadWord(in);
      break;
    case IOCTL_GET_TALVO_ERROR:
      storeWord(out, b->rxOverrun);
      storeWord(out + 4, b->txUnderrun);
      break;
    case IOCTL_TALVO_RESET:
      b->position = 0;
      b->announced = FALSE;
      b->rxOverrun = b->txUnderrun = 0;
      break;
    case IOCTL_TALVO_FLOWCONTROL:
      b->flowControl[0] = in[0];
      b->flowControl[1] = in[1];
      break;
    case IOCTL_GET_PROFILING: {
      int i;
      for (i = 0; i < 5; ++i) storeWord(out + 4 * i, b->profiling[i]);
      return STATUS_SUCCESS; /* the profiling requests do not count themselves */
    }
    case IOCTL_RESET_PROFILING: {
      UCHAR mask = in[0] == 0 ? 0x1F : in[0];
      int i;
      for (i = 0; i < 5; ++i)
        if (mask & (1u << i)) b->profiling[i] = 0;
      return STATUS_SUCCESS;
    }
    case IOCTL_V360_DEBUG:
      fillDebugSnapshot(b, out);
      break;
    case IOCTL_LOCK_BOARD:
      if (b->lockOwner && b->lockOwner != file) return STATUS_DEVICE_BUSY;
      b->lockOwner = file;
      break;
    case IOCTL_UNLOCK_BOARD:
      if (!b->lockOwner) return STATUS_NOT_LOCKED;
      if (b->lockOwner != file) return STATUS_DEVICE_BUSY;
      b->lockOwner = NULL;
      break;
    case IOCTL_GET_BOARD_STATUS:
      out[0] = (UCHAR)(b->status | (b->fpgaConfigured ? STATUS_FPGA_CONFIGURED : 0));
      break;
    case IOCTL_V360_RESET:
      ++b->v360Resets;
      break;
    case IOCTL_GET_FIXED_CLOCK:
      out[0] = b->fixedClock;
      break;
    case IOCTL_SET_TRANSFER_WORDS:
      b->announced = TRUE;
      b->announcedWords = loadWord(in);
      break;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
  ++b->profiling[0];
  return STATUS_SUCCESS;
}

static NTSTATUS controlRequest(PDEVICE_OBJECT device, PIRP irp);

static NTSTATUS dispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  return controlRequest(device, irp);
}

/* ---- Reads and writes --------------------------------------------------------- */

static void cancelPendedRead(PDEVICE_OBJECT device, PIRP irp) {
  LONG n = boardOfDevice(device);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  lock();
  if (n >= 0 && gBoards[n].pendingReads) --gBoards[n].pendingReads;
  journal(KPXTEST_OP_READ, n, 0, 0, 0, IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length,
          STATUS_CANCELLED, 0, NULL, 0);
  unlock();
  complete(irp, STATUS_CANCELLED, 0);
}

static UCHAR* transferBuffer(PIRP irp) {
  if (!irp->MdlAddress) return NULL;
  return (UCHAR*)MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
}

static NTSTATUS dispatchRead(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG length = stack->Parameters.Read.Length, count = length;
  LONG n = boardOfDevice(device);
  NTSTATUS status = STATUS_SUCCESS;
  ULONGLONG position = 0;
  UCHAR* buffer = length ? transferBuffer(irp) : NULL;
  Board* b;
  Fault* fault;
  lock();
  b = boardOfFile(device, stack->FileObject);
  if (!b) {
    status = STATUS_INVALID_HANDLE;
  } else if (length && !buffer) {
    status = STATUS_INVALID_PARAMETER;
  } else if ((fault = takeFault(b, OP_READ)) && fault->pend) {
    /* Held until cancelled. */
    ++b->pendingReads;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancelPendedRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
      --b->pendingReads;
      unlock();
      complete(irp, STATUS_CANCELLED, 0);
      return STATUS_PENDING;
    }
    unlock();
    return STATUS_PENDING;
  } else if (fault && fault->fails) {
    status = statusOfError(fault->error);
  } else if ((!fault || fault->returned < 0) && !streaming(b)) {
    /* The ADC does not run or its clock is not ready: a driver time-out. */
    status = STATUS_IO_TIMEOUT;
  } else {
    if (b->announced && (ULONGLONG)b->announcedWords * 4 < count) count = b->announcedWords * 4;
    if (fault && (ULONG)fault->returned < count) count = (ULONG)fault->returned;
    b->announced = FALSE;
    position = b->position;
    b->position += count;
    ++b->profiling[1];
    b->profiling[2] += count;
  }
  if (NT_SUCCESS(status)) fillRamp(buffer, position, count);
  journal(KPXTEST_OP_READ, n, 0, 0, 0, length, status, count, buffer,
          NT_SUCCESS(status) ? count : 0);
  unlock();
  return complete(irp, status, count);
}

static NTSTATUS dispatchWrite(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG length = stack->Parameters.Write.Length, count = length;
  LONG n = boardOfDevice(device);
  NTSTATUS status = STATUS_SUCCESS;
  UCHAR* buffer = length ? transferBuffer(irp) : NULL;
  Board* b;
  Fault* fault;
  lock();
  b = boardOfFile(device, stack->FileObject);
  if (!b) {
    status = STATUS_INVALID_HANDLE;
  } else if (length && !buffer) {
    status = STATUS_INVALID_PARAMETER;
  } else if ((fault = takeFault(b, OP_WRITE)) && fault->fails) {
    status = statusOfError(fault->error);
  } else {
    if (fault && (ULONG)fault->returned < count) count = (ULONG)fault->returned;
    ++b->profiling[3];
    b->profiling[4] += count;
  }
  journal(KPXTEST_OP_WRITE, n, 0, 0, 0, length, status, count, buffer, length);
  unlock();
  return complete(irp, status, count);
}

/* ---- Control requests ---------------------------------------------------------- */

static NTSTATUS testControl(PIRP irp, ULONG code, UCHAR* system, ULONG inLength, ULONG outLength) {
  ULONG returned = 0;
  NTSTATUS status = STATUS_SUCCESS;
  lock();
  switch (code) {
    case IOCTL_KPXTEST_CONFIGURE: {
      /* Answers with the reason the text was refused, empty when it was
       * taken; the rack is empty after a refusal. */
      char reason[160];
      reason[0] = 0;
      gJournalOn = TRUE;
      gJournalStart = gJournalCount = 0;
      installRack((const char*)system, inLength, reason, sizeof(reason));
      returned = textLength(reason);
      if (returned > outLength) returned = outLength;
      copyBytes(system, reason, returned);
      break;
    }
    case IOCTL_KPXTEST_JOURNAL: {
      ULONG fit = outLength / sizeof(KpxTestJournalRecord), i;
      if (fit > gJournalCount) fit = gJournalCount;
      for (i = 0; i < fit; ++i)
        copyBytes(system + i * sizeof(KpxTestJournalRecord),
                  &gJournal[(gJournalStart + i) % JOURNAL_CAPACITY], sizeof(KpxTestJournalRecord));
      returned = fit * sizeof(KpxTestJournalRecord);
      break;
    }
    case IOCTL_KPXTEST_CLEAR_JOURNAL:
      gJournalStart = gJournalCount = 0;
      break;
    case IOCTL_KPXTEST_PEEK_REGISTER:
    case IOCTL_KPXTEST_POKE_REGISTER:
    case IOCTL_KPXTEST_BOARD_STATE:
    case IOCTL_KPXTEST_PEEK_MEMORY: {
      ULONG n = inLength >= 4 ? loadWord(system) : BOARD_DEVICES;
      Board* b = n < BOARD_DEVICES ? &gBoards[n] : NULL;
      if (!b) {
        status = STATUS_INVALID_PARAMETER;
      } else if (code == IOCTL_KPXTEST_PEEK_REGISTER && inLength == 8 && outLength == 4) {
        storeWord(system, b->present ? visibleRegister(b, loadWord(system + 4)) : 0);
        returned = 4;
      } else if (code == IOCTL_KPXTEST_POKE_REGISTER && inLength == 12) {
        if (b->present) pokeRegister(b, loadWord(system + 4), loadWord(system + 8));
      } else if (code == IOCTL_KPXTEST_BOARD_STATE && outLength == sizeof(KpxTestBoardState)) {
        KpxTestBoardState state;
        state.present = b->present;
        state.fpgaConfigured = b->fpgaConfigured;
        state.locked = b->lockOwner != NULL;
        state.synthesizerProgrammed = b->synthesizerProgrammed;
        state.sampleIndexLow = (ULONG)(b->position / 2);
        state.sampleIndexHigh = (ULONG)(b->position / 2 >> 32);
        state.pendingReads = b->pendingReads;
        copyBytes(system, &state, sizeof(state));
        returned = sizeof(state);
      } else if (code == IOCTL_KPXTEST_PEEK_MEMORY && inLength == 12) {
        ULONGLONG address = loadWord(system + 4) | (ULONGLONG)loadWord(system + 8) << 32;
        moveMemory(b, address, system, outLength, FALSE);
        returned = outLength;
      } else {
        status = STATUS_INVALID_PARAMETER;
      }
      break;
    }
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  unlock();
  return complete(irp, status, returned);
}

static const RequestInfo* findRequest(ULONG code) {
  ULONG i;
  for (i = 0; i < REQUEST_COUNT; ++i)
    if (kRequests[i].code == code) return &kRequests[i];
  return NULL;
}

static NTSTATUS controlRequest(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  LONG n = boardOfDevice(device);
  const RequestInfo* request;
  const UCHAR* in = NULL;
  UCHAR* out = NULL;
  UCHAR head[KPXTEST_JOURNAL_DATA];
  ULONG headLength = 0, returned = 0;
  NTSTATUS status;
  Board* b;
  Fault* fault = NULL;

  if (n < 0)
    return testControl(irp, code, (UCHAR*)irp->AssociatedIrp.SystemBuffer, inLength, outLength);
  /* Where each transfer method puts the blocks. Buffered requests share one
   * system buffer for input and output. */
  switch (code & 3) {
    case METHOD_BUFFERED:
      in = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
      out = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      in = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
      out = outLength ? transferBuffer(irp) : NULL;
      break;
    default:
      in = (const UCHAR*)stack->Parameters.DeviceIoControl.Type3InputBuffer;
      out = (UCHAR*)irp->UserBuffer;
      break;
  }
  if (in) {
    headLength = inLength < sizeof(head) ? inLength : sizeof(head);
    copyBytes(head, in, headLength);
  }
  lock();
  b = boardOfFile(device, stack->FileObject);
  request = findRequest(code);
  if (!b) {
    status = STATUS_INVALID_HANDLE;
  } else if (!request) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else if ((inLength && !in) || (outLength && !out) ||
             (request->inLength == VARIABLE
                  ? (inLength < 4 || (ULONGLONG)loadWord(head) + 4 != inLength)
                  : inLength != request->inLength) ||
             (request->outLength != VARIABLE && outLength != request->outLength)) {
    status = STATUS_INVALID_PARAMETER;
  } else if ((fault = takeFault(b, code)) && fault->fails) {
    status = statusOfError(fault->error);
  } else {
    /* Buffered output overwrites the input: the requests read their input
     * from the copy (inputs longer than the copy are only counted). */
    status = boardControl(b, stack->FileObject, code, inLength <= sizeof(head) ? head : in, out,
                          outLength, &returned);
    if (NT_SUCCESS(status) && fault && fault->returned >= 0) returned = (ULONG)fault->returned;
  }
  journal(KPXTEST_OP_CONTROL, n, code, inLength, outLength, 0, status, returned, head, headLength);
  unlock();
  return complete(irp, status, returned);
}

/* ---- Loading ------------------------------------------------------------------ */

/* The rack text of the service key's "Rack" value, as ASCII; the default
 * board when there is none. */
static void loadRackFromRegistry(PUNICODE_STRING registryPath) {
  static const char kDefaultRack[] = "board device=0";
  OBJECT_ATTRIBUTES attributes;
  HANDLE key;
  UNICODE_STRING valueName;
  ULONG size = 0;
  KEY_VALUE_PARTIAL_INFORMATION* info = NULL;
  char* text = NULL;
  ULONG length = 0;

  InitializeObjectAttributes(&attributes, registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             NULL, NULL);
  RtlInitUnicodeString(&valueName, L"" KPXTEST_RACK_VALUE);
  if (NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
    ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, NULL, 0, &size);
    if (size)
      info = (KEY_VALUE_PARTIAL_INFORMATION*)ExAllocatePoolWithTag(PagedPool, size, POOL_TAG);
    if (info &&
        NT_SUCCESS(
            ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, size, &size)) &&
        (info->Type == REG_SZ || info->Type == REG_MULTI_SZ || info->Type == REG_EXPAND_SZ)) {
      ULONG i, chars = info->DataLength / 2;
      const WCHAR* wide = (const WCHAR*)info->Data;
      text = (char*)ExAllocatePoolWithTag(PagedPool, chars + 1, POOL_TAG);
      if (text) {
        /* REG_MULTI_SZ: the strings' terminators become item separators. */
        for (i = 0; i < chars; ++i) text[i] = wide[i] == 0 ? '\n' : (char)wide[i];
        length = chars;
      }
    }
    ZwClose(key);
  }
  lock();
  if (text) {
    installRack(text, length, NULL, 0);
  } else {
    installRack(kDefaultRack, sizeof(kDefaultRack) - 1, NULL, 0);
  }
  unlock();
  if (text) ExFreePoolWithTag(text, POOL_TAG);
  if (info) ExFreePoolWithTag(info, POOL_TAG);
}

static void formatName(WCHAR* to, const WCHAR* prefix, LONG n) {
  while (*prefix) *to++ = *prefix++;
  if (n >= 10) *to++ = (WCHAR)(L'0' + n / 10);
  *to++ = (WCHAR)(L'0' + n % 10);
  *to = 0;
}

/* Device `board` (-1: the control device) with its link. */
static NTSTATUS createDevice(LONG board) {
  WCHAR deviceName[40], linkName[40];
  UNICODE_STRING name, link;
  PDEVICE_OBJECT device;
  NTSTATUS status;
  if (board < 0) {
    RtlInitUnicodeString(&name, L"\\Device\\KPXADAC_TEST");
    RtlInitUnicodeString(&link, L"\\DosDevices\\KPXADAC_TEST");
  } else {
    formatName(deviceName, L"\\Device\\KPXADAC_", board);
    formatName(linkName, L"\\DosDevices\\KPXADAC_", board);
    RtlInitUnicodeString(&name, deviceName);
    RtlInitUnicodeString(&link, linkName);
  }
  status =
      IoCreateDevice(gDriver, sizeof(DeviceInfo), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  ((DeviceInfo*)device->DeviceExtension)->board = board;
  /* Streaming reads and writes, like the FPGA memory requests, work on the
   * caller's buffer through its MDL. */
  device->Flags |= DO_DIRECT_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  gDevices[board < 0 ? BOARD_DEVICES : board] = device;
  return STATUS_SUCCESS;
}

static void deleteDevice(LONG board) {
  WCHAR linkName[40];
  UNICODE_STRING link;
  LONG slot = board < 0 ? BOARD_DEVICES : board;
  if (!gDevices[slot]) return;
  if (board < 0) {
    RtlInitUnicodeString(&link, L"\\DosDevices\\KPXADAC_TEST");
  } else {
    formatName(linkName, L"\\DosDevices\\KPXADAC_", board);
    RtlInitUnicodeString(&link, linkName);
  }
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(gDevices[slot]);
  gDevices[slot] = NULL;
}

/* Wine completes CreateFile without waiting for the driver's answer to
 * IRP_MJ_CREATE, so a device without a board cannot refuse to open: only
 * the boards of the rack have devices (under gLock). */
static void followRack(void) {
  LONG n;
  for (n = 0; n < BOARD_DEVICES; ++n) {
    if (gBoards[n].present && !gDevices[n]) createDevice(n);
    if (!gBoards[n].present && gDevices[n]) deleteDevice(n);
  }
}

static void unloadDriver(PDRIVER_OBJECT driver) {
  LONG n;
  (void)driver;
  for (n = -1; n < BOARD_DEVICES; ++n) deleteDevice(n);
  for (n = 0; n < BOARD_DEVICES; ++n) freeMemory(&gBoards[n]);
  if (gJournal) ExFreePoolWithTag(gJournal, POOL_TAG);
  if (gStaging) ExFreePoolWithTag(gStaging, POOL_TAG);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  NTSTATUS status;
  gDriver = driver;
  ExInitializeFastMutex(&gLock);
  gJournal = (KpxTestJournalRecord*)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(KpxTestJournalRecord) * JOURNAL_CAPACITY, POOL_TAG);
  gStaging = (Board*)ExAllocatePoolWithTag(NonPagedPool, sizeof(Board) * BOARD_DEVICES, POOL_TAG);
  if (!gJournal || !gStaging) {
    unloadDriver(driver);
    return STATUS_NO_MEMORY;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = dispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatchClose;
  driver->MajorFunction[IRP_MJ_READ] = dispatchRead;
  driver->MajorFunction[IRP_MJ_WRITE] = dispatchWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatchControl;
  driver->DriverUnload = unloadDriver;
  status = createDevice(-1);
  if (!NT_SUCCESS(status)) {
    unloadDriver(driver);
    return status;
  }
  loadRackFromRegistry(registryPath);
  return STATUS_SUCCESS;
}
