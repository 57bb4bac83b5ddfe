#pragma once

#include <boost/beast/http/basic_parser.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "replies/Request.h"

namespace dralmin {

// What the request bodies of all connections of one server may hold at once, so that many peers
// announcing large bodies together cannot exhaust memory. Used on the poll thread only.
class BodyBudget {
 public:
  explicit BodyBudget(std::uint64_t limit) : limit_(limit) {}
  bool Take(std::uint64_t bytes) {
    if (bytes > limit_ - held_) return false;
    held_ += bytes;
    return true;
  }
  void Give(std::uint64_t bytes) { held_ -= bytes; }
  std::uint64_t limit() const { return limit_; }
  std::uint64_t held() const { return held_; }

 private:
  const std::uint64_t limit_;
  std::uint64_t held_ = 0;
};

// Beast's request parser, keeping only what the handler is given and what decides the
// connection's fate; one per connection, restarted for each request. The kept text is copied
// into strings whose capacity stays between requests, so that a bodiless request costs no
// allocation once the connection has seen one like it.
class RequestReader final : public boost::beast::http::basic_parser<true> {
 public:
  // Bodies are charged to `budget` while they are held, when there is one.
  explicit RequestReader(BodyBudget* budget = nullptr) : budget_(budget) {}
  ~RequestReader() override { GiveBack(); }
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // Forgets the previous request: a fresh parse state with the given limits.
  void Restart(std::uint32_t headerLimit, std::uint64_t bodyLimit);

  // After the header: takes the announced body length from the budget. False when the budget
  // cannot hold it; a chunked body is charged as it arrives, and the parse fails with
  // http::error::body_limit once the budget is spent, with OverBudget() true.
  bool ReserveBody();
  bool OverBudget() const { return overBudget_; }

  // The parse failed on a Transfer-Encoding other than "chunked", which is not implemented.
  bool UnsupportedCoding() const { return unsupportedCoding_; }

  // After the header: the request as the handler sees it; the views point into this reader.
  Request View() const;

  // After the header: as Beast's message::keep_alive (the first Connection header decides).
  bool KeepAlive() const;
  // After the header: the first Expect header asks for "100 Continue".
  bool ExpectsContinue() const;

  // Memory held beyond this after a request is given back, so that one large request does not
  // pin its size for the life of a keep-alive connection.
  void Trim(std::size_t keep);

 private:
  // A header's first occurrence, as Beast's fields find it.
  struct Field {
    std::string value;
    bool present = false;
    void Keep(std::string_view text);
  };

  void on_request_impl(boost::beast::http::verb method, boost::beast::string_view methodText,
                       boost::beast::string_view target, int version,
                       boost::beast::error_code& ec) override;
  void on_response_impl(int, boost::beast::string_view, int, boost::beast::error_code&) override {}
  void on_field_impl(boost::beast::http::field name, boost::beast::string_view nameText,
                     boost::beast::string_view value, boost::beast::error_code& ec) override;
  void on_header_impl(boost::beast::error_code&) override {}
  void on_body_init_impl(const boost::optional<std::uint64_t>& contentLength,
                         boost::beast::error_code& ec) override;
  std::size_t on_body_impl(boost::beast::string_view body, boost::beast::error_code& ec) override;
  void on_chunk_header_impl(std::uint64_t, boost::beast::string_view,
                            boost::beast::error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, boost::beast::string_view body,
                                 boost::beast::error_code& ec) override;
  void on_finish_impl(boost::beast::error_code&) override {}

  std::string method_;
  std::string target_;
  int version_ = 11;
  Field origin_;
  Field referer_;
  Field host_;
  Field contentType_;
  Field privateNetwork_;
  Field accept_;
  Field fetchSite_;
  Field expect_;
  Field connection_;
  bool Charge(std::uint64_t bytes);
  void GiveBack();

  std::string body_;
  BodyBudget* budget_;
  std::uint64_t charged_ = 0;
  bool overBudget_ = false;
  bool unsupportedCoding_ = false;
};

}  // namespace dralmin
