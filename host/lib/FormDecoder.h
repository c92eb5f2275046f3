// FormDecoder.h: the form fields of a request body: application/x-www-form-urlencoded, or
// the text fields of multipart/form-data, with a cap on how many fields a body may hold.
#ifndef VELQUOR_HOST_FORM_DECODER_H
#define VELQUOR_HOST_FORM_DECODER_H

#include "host/lib/WebExchange.h"

#include <cstddef>
#include <optional>
#include <string>

namespace velquor::host {

class FormDecoder {
public:
    enum class Result {
        Decoded,        // the fields are appended (none for a body that is no form)
        Malformed,      // a multipart body without its boundary, its closing delimiter or a part's name
        TooManyFields,  // more than the maximum (parts with a file count too)
    };

    // Appends the body's fields to `fields` in document order: every field of a URL-encoded
    // body; the parts of a multipart body that carry no file name (uploads are not form
    // values). A body of any other type has no fields. Nothing is appended unless the
    // answer is Decoded.
    static Result decode(const std::string &contentType, const std::string &body, size_t maximumFields,
                         NameValueList &fields);

    // The boundary parameter of a multipart content type (quoted or not); nothing when it
    // has none or it is empty.
    static std::optional<std::string> boundaryOf(const std::string &contentType);
    // The value of a parameter of a header value such as `form-data; name="a"` (quoted or
    // not; the name matched ignoring case); nothing when absent.
    static std::optional<std::string> parameter(const std::string &headerValue, const std::string &name);

private:
    static Result decodeMultipart(const std::string &boundary, const std::string &body, size_t maximumFields,
                                  NameValueList &fields);
};

} // namespace velquor::host

#endif
