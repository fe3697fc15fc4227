// The program's exception type and the one rule that turns any exception into a status.
//
// Exceptions never cross an operation boundary: each operation catches, logs
// "Exception in C::Op" (see DiagnosticLog.h) and returns the status that
// HResultFromCurrentException gives: E_OUTOFMEMORY for bad_alloc, the carried status
// for ComException, E_UNEXPECTED for anything else.
#pragma once

#include <exception>
#include <string>

#include "com/HResult.h"

class ComException : public std::exception {
public:
    explicit ComException(HRESULT hr, std::string what = {}) : m_hr(hr), m_what(std::move(what)) {}
    HRESULT Result() const { return m_hr; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    HRESULT m_hr;
    std::string m_what;
};

// Must be called inside a catch block.
HRESULT HResultFromCurrentException();
