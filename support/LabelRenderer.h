#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace dralmin {

// The label description cannot be printed; what() is the short reason told to the page.
class LabelException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Turns the XML label description into TSPL, the command language of the label printer:
//   <label width height [gap copies direction]> or <labels> holding several <label>, each with
//   <text>, <barcode>, <qrcode>, <box> and <bar> elements in printing order.
class LabelRenderer {
 public:
  // `codePage` is 866 or 1251: the CODEPAGE announced and the charset of every element text.
  LabelRenderer(int codePage, bool forcePeeler) : codePage_(codePage), forcePeeler_(forcePeeler) {}

  // The TSPL job, lines ending in CR LF. The text is UTF-8 unless its XML declaration names
  // another encoding; whitespace around the document and text after the root element are
  // ignored. Throws LabelException for anything that cannot be printed.
  std::string Render(std::string_view xml) const;

 private:
  int codePage_;
  bool forcePeeler_;
};

}  // namespace dralmin
