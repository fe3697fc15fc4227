// The syntax tree's storage (see VBScriptAst.h).
#include "script/engine/vbscript/VBScriptAst.h"

#include <utility>

#include "com/Strings.h"

ULONG CVBScriptAst::AddNode(VBSNodeKind kind, ULONG ulLine, ULONG ulCharacter) {
    VBSNode& node = m_nodes.emplace_back();
    node.kind = kind;
    node.ulLine = ulLine;
    node.ulCharacter = ulCharacter;
    return static_cast<ULONG>(m_nodes.size() - 1);
}

ULONG CVBScriptAst::AddLiteral(VBSLiteral literal) {
    m_literals.push_back(std::move(literal));
    return static_cast<ULONG>(m_literals.size() - 1);
}

ULONG CVBScriptAst::InternName(std::u16string_view name) {
    std::u16string spelling(name);
    if (auto found = m_nameIds.find(spelling); found != m_nameIds.end()) {
        return found->second;
    }
    const ULONG id = static_cast<ULONG>(m_names.size());
    auto [key, inserted] = m_nameKeyIds.emplace(ToUpperSimple(name), id);
    m_names.push_back(spelling);
    m_nameKeys.push_back(key->second);
    m_nameIds.emplace(std::move(spelling), id);
    (void)inserted;
    return id;
}

void CVBScriptAst::SetList(ULONG id, std::span<const ULONG> children) {
    VBSNode& node = m_nodes[id];
    node.ulFirst = static_cast<ULONG>(m_lists.size());
    node.ulCount = static_cast<ULONG>(children.size());
    m_lists.insert(m_lists.end(), children.begin(), children.end());
}
