#pragma once

namespace dralmin {

// Where the barcode scanner driver lives on the session bus. A real driver and the simulator
// both own this name and serve this object and interface:
//   OpenScanners(i reserved, an scannerTypes, i count) -> (i status)
//   RunCommand(i opcode, s inXml) -> (s outXml, i status)
//   signal ScanDataEvent(n eventType, s scanData)
//   signal ScanCmdResponseEvent(n status, s response)
inline constexpr const char* kScannerDriverBusName = "org.dralmin.ScannerDriver";
inline constexpr const char* kScannerDriverObjectPath = "/org/dralmin/ScannerDriver";
inline constexpr const char* kScannerDriverInterface = "org.dralmin.ScannerDriver";

}  // namespace dralmin
