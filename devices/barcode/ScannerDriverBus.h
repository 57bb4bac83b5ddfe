#pragma once

namespace dralmin {

// Where the barcode scanner driver lives on the session bus. A real driver and the simulator
// both own this name and serve this object with the interface of org.dralmin.ScannerDriver.xml.
inline constexpr const char* kScannerDriverBusName = "org.dralmin.ScannerDriver";
inline constexpr const char* kScannerDriverObjectPath = "/org/dralmin/ScannerDriver";
inline constexpr const char* kScannerDriverInterface = "org.dralmin.ScannerDriver";

}  // namespace dralmin
