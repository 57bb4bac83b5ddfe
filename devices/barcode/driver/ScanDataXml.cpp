#include "devices/barcode/driver/ScanDataXml.h"

namespace dralmin {

std::string ScanDataXml(std::string_view code, int scannerId) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><outArgs><scannerID>" +
                    std::to_string(scannerId) + "</scannerID><arg-xml><scandata><datalabel>";
  xml.reserve(xml.size() + code.size() * 5 + 48);
  for (std::size_t i = 0; i < code.size(); ++i) {
    const auto byte = static_cast<unsigned char>(code[i]);
    if (i > 0) xml.push_back(' ');
    xml += "0x";
    xml.push_back(kHex[byte >> 4]);
    xml.push_back(kHex[byte & 0x0F]);
  }
  xml += "</datalabel></scandata></arg-xml></outArgs>";
  return xml;
}

}  // namespace dralmin
