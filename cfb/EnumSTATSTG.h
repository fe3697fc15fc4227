// The enumerator of a storage's elements: a snapshot of their statistics, shared by
// the enumerator and its clones, each with its own position.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "cfb/StorageInterfaces.h"

class CEnumSTATSTG : public CComObjectRoot<CEnumSTATSTG, IEnumSTATSTG> {
public:
    explicit CEnumSTATSTG(std::shared_ptr<const std::vector<STATSTG>> elements,
                          size_t position = 0);

    HRESULT Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) override;
    HRESULT Skip(ULONG celt) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumSTATSTG** ppenum) override;

private:
    const std::shared_ptr<const std::vector<STATSTG>> m_elements;
    // Guards m_position only.
    std::mutex m_lockPosition;
    size_t m_position;
};
