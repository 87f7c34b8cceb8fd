// The two decoders of the message kinds: each hands the received header block to its target's
// ParseHeaders, where the mail or news fields are taken.
#pragma once

#include "maillib/Decoder.h"

namespace maillib {

class TmsMessageDecoder : public TmsCustomDecoder {
 public:
  explicit TmsMessageDecoder(TmsMessage& message) : TmsCustomDecoder(message), mail_(message) {}

 protected:
  void ParseHeaders(const TmsHeaders& headers) override { mail_.ParseHeaders(headers); }

 private:
  TmsMessage& mail_;
};

class TmsArticleDecoder : public TmsCustomDecoder {
 public:
  explicit TmsArticleDecoder(TmsArticle& article) : TmsCustomDecoder(article), article_(article) {}

 protected:
  void ParseHeaders(const TmsHeaders& headers) override { article_.ParseHeaders(headers); }

 private:
  TmsArticle& article_;
};

}  // namespace maillib
