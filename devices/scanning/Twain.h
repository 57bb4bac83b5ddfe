#pragma once

// The scanner protocol's types, structures and constants, with the values the protocol
// publishes. Only what the agent and its simulated manager use is declared. Structures are
// packed to 2 bytes, as the protocol requires on every platform but one, so that they match the
// layout a data source manager built from the protocol's own header expects.

#include <cstdint>

// The protocol's calling convention: the callee cleans the stack on 32-bit Windows, where managers
// and sources are built with it; the platform's own elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define TW_CALLINGSTYLE __stdcall
#else
#define TW_CALLINGSTYLE
#endif

namespace dralmin {

using TW_INT8 = int8_t;
using TW_INT16 = int16_t;
using TW_INT32 = int32_t;
using TW_UINT8 = uint8_t;
using TW_UINT16 = uint16_t;
using TW_UINT32 = uint32_t;
using TW_BOOL = uint16_t;
using TW_HANDLE = void*;
using TW_MEMREF = void*;
using TW_STR32 = char[34];  // 32 characters, a terminating zero and a byte of padding

#pragma pack(push, 2)

struct TW_FIX32 {
  TW_INT16 Whole;
  TW_UINT16 Frac;
};

struct TW_VERSION {
  TW_UINT16 MajorNum;
  TW_UINT16 MinorNum;
  TW_UINT16 Language;
  TW_UINT16 Country;
  TW_STR32 Info;
};

struct TW_IDENTITY {
  TW_UINT32 Id;
  TW_VERSION Version;
  TW_UINT16 ProtocolMajor;
  TW_UINT16 ProtocolMinor;
  TW_UINT32 SupportedGroups;
  TW_STR32 Manufacturer;
  TW_STR32 ProductFamily;
  TW_STR32 ProductName;
};
using pTW_IDENTITY = TW_IDENTITY*;

struct TW_CAPABILITY {
  TW_UINT16 Cap;
  TW_UINT16 ConType;
  TW_HANDLE hContainer;
};

struct TW_ONEVALUE {
  TW_UINT16 ItemType;
  TW_UINT32 Item;
};

struct TW_USERINTERFACE {
  TW_BOOL ShowUI;
  TW_BOOL ModalUI;
  TW_HANDLE hParent;
};

struct TW_EVENT {
  TW_MEMREF pEvent;
  TW_UINT16 TWMessage;
};

struct TW_IMAGEINFO {
  TW_FIX32 XResolution;
  TW_FIX32 YResolution;
  TW_INT32 ImageWidth;
  TW_INT32 ImageLength;
  TW_INT16 SamplesPerPixel;
  TW_INT16 BitsPerSample[8];
  TW_INT16 BitsPerPixel;
  TW_BOOL Planar;
  TW_INT16 PixelType;
  TW_UINT16 Compression;
};

struct TW_PENDINGXFERS {
  TW_UINT16 Count;
  TW_UINT32 EOJ;
};

struct TW_STATUS {
  TW_UINT16 ConditionCode;
  TW_UINT16 Data;
};

// The memory entry points a version 2 manager hands out (DAT_ENTRYPOINT).
using DSM_MEMALLOCATE = TW_HANDLE(TW_CALLINGSTYLE*)(TW_UINT32 size);
using DSM_MEMFREE = void(TW_CALLINGSTYLE*)(TW_HANDLE handle);
using DSM_MEMLOCK = TW_MEMREF(TW_CALLINGSTYLE*)(TW_HANDLE handle);
using DSM_MEMUNLOCK = void(TW_CALLINGSTYLE*)(TW_HANDLE handle);

struct TW_ENTRYPOINT {
  TW_UINT32 Size;
  TW_MEMREF DSM_Entry;
  DSM_MEMALLOCATE DSM_MemAllocate;
  DSM_MEMFREE DSM_MemFree;
  DSM_MEMLOCK DSM_MemLock;
  DSM_MEMUNLOCK DSM_MemUnlock;
};

#pragma pack(pop)

static_assert(sizeof(TW_ONEVALUE) == 6, "one-value containers are 6 bytes");
static_assert(sizeof(TW_IDENTITY) == 156, "identity layout");

// The manager's one entry point (exported by name with C linkage, and on Windows at ordinal 1).
using DSMENTRYPROC = TW_UINT16(TW_CALLINGSTYLE*)(pTW_IDENTITY origin, pTW_IDENTITY dest,
                                                 TW_UINT32 DG, TW_UINT16 DAT, TW_UINT16 MSG,
                                                 TW_MEMREF data);
// A data source's one entry point, DS_Entry, as a manager calls it.
using DSENTRYPROC = TW_UINT16(TW_CALLINGSTYLE*)(pTW_IDENTITY origin, TW_UINT32 DG, TW_UINT16 DAT,
                                                TW_UINT16 MSG, TW_MEMREF data);

inline constexpr TW_BOOL TW_TRUE = 1;
inline constexpr TW_BOOL TW_FALSE = 0;

// Data groups.
inline constexpr TW_UINT32 DG_CONTROL = 0x0001;
inline constexpr TW_UINT32 DG_IMAGE = 0x0002;
inline constexpr TW_UINT32 DF_DSM2 = 0x10000000;
inline constexpr TW_UINT32 DF_APP2 = 0x20000000;
inline constexpr TW_UINT32 DF_DS2 = 0x40000000;

// Data argument types.
inline constexpr TW_UINT16 DAT_NULL = 0x0000;
inline constexpr TW_UINT16 DAT_CAPABILITY = 0x0001;
inline constexpr TW_UINT16 DAT_EVENT = 0x0002;
inline constexpr TW_UINT16 DAT_IDENTITY = 0x0003;
inline constexpr TW_UINT16 DAT_PARENT = 0x0004;
inline constexpr TW_UINT16 DAT_PENDINGXFERS = 0x0005;
inline constexpr TW_UINT16 DAT_STATUS = 0x0008;
inline constexpr TW_UINT16 DAT_USERINTERFACE = 0x0009;
inline constexpr TW_UINT16 DAT_ENTRYPOINT = 0x0403;
inline constexpr TW_UINT16 DAT_IMAGEINFO = 0x0101;
inline constexpr TW_UINT16 DAT_IMAGENATIVEXFER = 0x0104;

// Messages.
inline constexpr TW_UINT16 MSG_NULL = 0x0000;
inline constexpr TW_UINT16 MSG_GET = 0x0001;
inline constexpr TW_UINT16 MSG_GETCURRENT = 0x0002;
inline constexpr TW_UINT16 MSG_GETDEFAULT = 0x0003;
inline constexpr TW_UINT16 MSG_GETFIRST = 0x0004;
inline constexpr TW_UINT16 MSG_GETNEXT = 0x0005;
inline constexpr TW_UINT16 MSG_SET = 0x0006;
inline constexpr TW_UINT16 MSG_RESET = 0x0007;
inline constexpr TW_UINT16 MSG_XFERREADY = 0x0101;
inline constexpr TW_UINT16 MSG_CLOSEDSREQ = 0x0102;
inline constexpr TW_UINT16 MSG_CLOSEDSOK = 0x0103;
inline constexpr TW_UINT16 MSG_DEVICEEVENT = 0x0104;
inline constexpr TW_UINT16 MSG_OPENDSM = 0x0301;
inline constexpr TW_UINT16 MSG_CLOSEDSM = 0x0302;
inline constexpr TW_UINT16 MSG_OPENDS = 0x0401;
inline constexpr TW_UINT16 MSG_CLOSEDS = 0x0402;
inline constexpr TW_UINT16 MSG_USERSELECT = 0x0403;
inline constexpr TW_UINT16 MSG_DISABLEDS = 0x0501;
inline constexpr TW_UINT16 MSG_ENABLEDS = 0x0502;
inline constexpr TW_UINT16 MSG_PROCESSEVENT = 0x0601;
inline constexpr TW_UINT16 MSG_ENDXFER = 0x0701;

// Return codes.
inline constexpr TW_UINT16 TWRC_SUCCESS = 0;
inline constexpr TW_UINT16 TWRC_FAILURE = 1;
inline constexpr TW_UINT16 TWRC_CHECKSTATUS = 2;
inline constexpr TW_UINT16 TWRC_CANCEL = 3;
inline constexpr TW_UINT16 TWRC_DSEVENT = 4;
inline constexpr TW_UINT16 TWRC_NOTDSEVENT = 5;
inline constexpr TW_UINT16 TWRC_XFERDONE = 6;
inline constexpr TW_UINT16 TWRC_ENDOFLIST = 7;

// Condition codes.
inline constexpr TW_UINT16 TWCC_SUCCESS = 0;
inline constexpr TW_UINT16 TWCC_BUMMER = 1;
inline constexpr TW_UINT16 TWCC_LOWMEMORY = 2;
inline constexpr TW_UINT16 TWCC_NODS = 3;
inline constexpr TW_UINT16 TWCC_OPERATIONERROR = 5;
inline constexpr TW_UINT16 TWCC_BADCAP = 6;
inline constexpr TW_UINT16 TWCC_BADPROTOCOL = 9;
inline constexpr TW_UINT16 TWCC_BADVALUE = 10;
inline constexpr TW_UINT16 TWCC_SEQERROR = 11;
inline constexpr TW_UINT16 TWCC_BADDEST = 12;

// Capabilities.
inline constexpr TW_UINT16 CAP_XFERCOUNT = 0x0001;

// Item types.
inline constexpr TW_UINT16 TWTY_INT8 = 0x0000;
inline constexpr TW_UINT16 TWTY_INT16 = 0x0001;
inline constexpr TW_UINT16 TWTY_INT32 = 0x0002;
inline constexpr TW_UINT16 TWTY_UINT8 = 0x0003;
inline constexpr TW_UINT16 TWTY_UINT16 = 0x0004;
inline constexpr TW_UINT16 TWTY_UINT32 = 0x0005;
inline constexpr TW_UINT16 TWTY_BOOL = 0x0006;

// Container types.
inline constexpr TW_UINT16 TWON_ONEVALUE = 5;
inline constexpr TW_UINT16 TWON_DONTCARE16 = 0xffff;

// Pixel types and compression.
inline constexpr TW_INT16 TWPT_BW = 0;
inline constexpr TW_INT16 TWPT_GRAY = 1;
inline constexpr TW_INT16 TWPT_RGB = 2;
inline constexpr TW_INT16 TWPT_PALETTE = 3;
inline constexpr TW_UINT16 TWCP_NONE = 0;

// Language and country.
inline constexpr TW_UINT16 TWLG_USA = 13;
inline constexpr TW_UINT16 TWCY_USA = 1;

}  // namespace dralmin
