#include "gateway/RequestReader.h"

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/rfc7230.hpp>

namespace dralmin {

namespace beast = boost::beast;
namespace http = beast::http;

void RequestReader::Field::Keep(std::string_view text) {
  if (present) return;
  value.assign(text);
  present = true;
}

void RequestReader::Restart(std::uint32_t headerLimit, std::uint64_t bodyLimit) {
  // Only the parse state is new; the strings below keep their capacity.
  GiveBack();
  overBudget_ = false;
  unsupportedCoding_ = false;
  RequestReader fresh;
  basic_parser<true>::operator=(std::move(fresh));
  header_limit(headerLimit);
  body_limit(bodyLimit);
  method_.clear();
  target_.clear();
  version_ = 11;
  for (Field* field : {&origin_, &referer_, &host_, &contentType_, &privateNetwork_, &accept_,
                       &fetchSite_, &expect_, &connection_}) {
    field->value.clear();
    field->present = false;
  }
  body_.clear();
}

Request RequestReader::View() const {
  const std::string_view target = target_;
  Request request;
  request.method = method_;
  request.uri = target.substr(0, target.find('?'));
  request.body = body_;
  if (origin_.present) request.origin = origin_.value;
  if (referer_.present) request.referer = referer_.value;
  if (host_.present) request.host = host_.value;
  if (contentType_.present) request.contentType = contentType_.value;
  if (privateNetwork_.present) request.privateNetworkRequest = privateNetwork_.value;
  if (accept_.present) request.accept = accept_.value;
  if (fetchSite_.present) request.fetchSite = fetchSite_.value;
  return request;
}

bool RequestReader::KeepAlive() const {
  if (version_ < 11) {
    return connection_.present && http::token_list{connection_.value}.exists("keep-alive");
  }
  return !(connection_.present && http::token_list{connection_.value}.exists("close"));
}

bool RequestReader::ExpectsContinue() const {
  return expect_.present && beast::iequals(expect_.value, "100-continue");
}

void RequestReader::Trim(std::size_t keep) {
  if (body_.capacity() > keep) std::string().swap(body_);
  if (target_.capacity() > keep) std::string().swap(target_);
}

bool RequestReader::ReserveBody() {
  const auto length = content_length();
  return !length || Charge(*length);
}

bool RequestReader::Charge(std::uint64_t bytes) {
  if (budget_ == nullptr || bytes == 0) return true;
  if (!budget_->Take(bytes)) {
    overBudget_ = true;
    return false;
  }
  charged_ += bytes;
  return true;
}

void RequestReader::GiveBack() {
  if (budget_ != nullptr) budget_->Give(charged_);
  charged_ = 0;
}

void RequestReader::on_request_impl(http::verb, beast::string_view methodText,
                                    beast::string_view target, int version, beast::error_code&) {
  // The text as sent; for a known method it is the same as Beast's name of it.
  method_.assign(methodText);
  target_.assign(target);
  version_ = version;
}

void RequestReader::on_field_impl(http::field name, beast::string_view nameText,
                                  beast::string_view value, beast::error_code& ec) {
  switch (name) {
    case http::field::origin:
      return origin_.Keep(value);
    case http::field::referer:
      return referer_.Keep(value);
    case http::field::host:
      return host_.Keep(value);
    case http::field::content_type:
      return contentType_.Keep(value);
    case http::field::expect:
      return expect_.Keep(value);
    case http::field::connection:
      return connection_.Keep(value);
    case http::field::accept:
      return accept_.Keep(value);
    case http::field::transfer_encoding:
      // A coding other than chunked would hand its coded bytes over as the body.
      for (const auto coding : http::token_list{value}) {
        if (!beast::iequals(coding, "chunked")) {
          unsupportedCoding_ = true;
          ec = http::error::bad_transfer_encoding;
        }
      }
      return;
    default:
      // Not among Beast's known names, so compared by its text.
      if (beast::iequals(nameText, "Access-Control-Request-Private-Network")) {
        privateNetwork_.Keep(value);
      } else if (beast::iequals(nameText, "Sec-Fetch-Site")) {
        fetchSite_.Keep(value);
      }
  }
}

void RequestReader::on_body_init_impl(const boost::optional<std::uint64_t>& contentLength,
                                      beast::error_code&) {
  // The body limit has been checked against the length by now.
  if (contentLength) body_.reserve(static_cast<std::size_t>(*contentLength));
}

std::size_t RequestReader::on_body_impl(beast::string_view body, beast::error_code&) {
  body_.append(body);
  return body.size();
}

std::size_t RequestReader::on_chunk_body_impl(std::uint64_t, beast::string_view body,
                                              beast::error_code& ec) {
  if (!Charge(body.size())) {
    ec = http::error::body_limit;
    return 0;
  }
  body_.append(body);
  return body.size();
}

}  // namespace dralmin
