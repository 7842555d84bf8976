// The two checks that turn results into LinkError: CheckServerResult on the
// thread that made the remote call, CheckCallResult on the host's thread
// after the call has come back. A failure crosses between the two threads
// as a pair (error text, result code), never as an exception object.
#pragma once

#include <moravane/LinkError.h>

#include <oleauto.h>

namespace moravane {

// Passes (returns hr) when the server succeeded without an error text.
// Otherwise throws LinkError with hr and the text. Takes ownership of a
// non-null `text` and frees it on every path.
HRESULT CheckServerResult(HRESULT hr, BSTR text);

// Returns when code is 0 and the text empty; otherwise throws LinkError.
void CheckCallResult(LONG code, const WideString& text);

}  // namespace moravane
