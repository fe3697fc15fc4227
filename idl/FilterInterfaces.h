// IFilterObject: the script object "Filter" that a request's filtering script answers
// through. Each method gives the verdict on the request being judged and stops the script.
#pragma once

#include <tuple>

#include "com/Bstr.h"
#include "com/Dispatch.h"
#include "idl/Identifiers.h"

struct IFilterObject : IDispatch {
    static constexpr IID iid = IID_IFilterObject;
    using Bases = std::tuple<IDispatch>;
    // The request goes on to its destination.
    virtual HRESULT Continue() = 0;
    // Both peers see the end of their stream; the request is dropped.
    virtual HRESULT Abort() = 0;
    // The application is answered with a redirect to a page of the local web server.
    virtual HRESULT HTTPTransfer(BSTR strLocalURL) = 0;

protected:
    ~IFilterObject() = default;
};
