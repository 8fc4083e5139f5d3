// One parsed Config call: a setting name, optionally "= value".
#ifndef OSTRASYNC_ENGINE_CONFIG_REQUEST_H_
#define OSTRASYNC_ENGINE_CONFIG_REQUEST_H_

#include <string>

namespace ostrasync::engine {

struct ConfigRequest {
  std::string name;        // compared without regard to case; untrimmed in a query
  int index = 0;           // number in brackets after the name; no setting uses it
  std::string index_text;  // the bracket's text, trimmed of spaces
  std::string value;       // text after the first '=', trimmed and unquoted
  bool query = false;      // true when the text holds no '='
};

}  // namespace ostrasync::engine

#endif  // OSTRASYNC_ENGINE_CONFIG_REQUEST_H_
