#pragma once

// The fingerprint scanner maker's SDK as this program calls it: eight C functions (cdecl, the
// compiler's default for C functions) from the SDK's shared library, taken by ordinal on Windows,
// where the maker's DLL exports no names, and by name elsewhere. Every function returns 1 on
// success; handles and counts are 32-bit signed. The simulated SDK implements exactly these
// declarations.

#include <cstdint>

extern "C" {

// Sets *context to the SDK context; `reserved` is 0.
int32_t SdkInit(int32_t* context, int32_t reserved);

// Lists the connected scanners, one identifier byte each. The list is given back with MemFree.
int32_t ScanGetConnected(int32_t context, uint8_t** scanners, int32_t* count);

int32_t ScanOpen(int32_t context, int32_t scannerId, int32_t* scanner);

// Takes one sample; the reserved arguments are 0.
int32_t ScanCapture(int32_t context, int32_t scanner, int32_t* sample, int32_t reserved1,
                    int32_t reserved2);

// Builds a template from the sample into the caller's buffer. *templateLength holds the buffer's
// capacity on entry and the template's length on return; `reserved` is 0 and `one` is 1. The
// result -13 means that no usable finger was on the scanner.
int32_t MathEnroll(int32_t context, int32_t* sample, int32_t reserved, uint8_t* quality,
                   uint8_t* status, uint8_t** templateBuffer, int32_t* templateLength, int32_t one);

int32_t ScanFreeSample(int32_t context, int32_t sample);

int32_t ScanClose(int32_t context, int32_t scanner);

int32_t MemFree(void* pointer);

}  // extern "C"

namespace dralmin::quorvel {

inline constexpr int32_t kSuccess = 1;
inline constexpr int32_t kNoUsableFinger = -13;

// The ordinals of the Windows DLL's exports (simulators/fingerprint/quorvelsdk.def gives the
// simulated DLL the same ones).
inline constexpr unsigned short kSdkInitOrdinal = 42;
inline constexpr unsigned short kScanGetConnectedOrdinal = 33;
inline constexpr unsigned short kScanOpenOrdinal = 38;
inline constexpr unsigned short kScanCaptureOrdinal = 30;
inline constexpr unsigned short kMathEnrollOrdinal = 15;
inline constexpr unsigned short kScanFreeSampleOrdinal = 32;
inline constexpr unsigned short kScanCloseOrdinal = 31;
inline constexpr unsigned short kMemFreeOrdinal = 10;

using SdkInitFunction = decltype(::SdkInit);
using ScanGetConnectedFunction = decltype(::ScanGetConnected);
using ScanOpenFunction = decltype(::ScanOpen);
using ScanCaptureFunction = decltype(::ScanCapture);
using MathEnrollFunction = decltype(::MathEnroll);
using ScanFreeSampleFunction = decltype(::ScanFreeSample);
using ScanCloseFunction = decltype(::ScanClose);
using MemFreeFunction = decltype(::MemFree);

}  // namespace dralmin::quorvel
