// tools/inspector/Report.h — one tree per command, printed as JSON or as indented text.
#pragma once
#include "Brindlemark/Common.h"

#include <string>
#include <utility>
#include <vector>

namespace inspector {

class Node {
public:
    enum class Kind { Null, Bool, Number, Text, List, Map };

    static Node Null() { return Node(Kind::Null); }
    static Node Bool(bool b)
    {
        Node n(Kind::Bool);
        n.m_b = b;
        return n;
    }
    static Node Number(long long ll)
    {
        Node n(Kind::Number);
        n.m_ll = ll;
        return n;
    }
    static Node Text(std::string str)
    {
        Node n(Kind::Text);
        n.m_str = std::move(str);
        return n;
    }
    static Node List() { return Node(Kind::List); }
    static Node Map() { return Node(Kind::Map); }

    Node& Add(std::string key, Node value)
    {
        m_keys.push_back(std::move(key));
        m_items.push_back(std::move(value));
        return m_items.back();
    }
    Node& Push(Node value)
    {
        m_items.push_back(std::move(value));
        return m_items.back();
    }

    Kind GetKind() const { return m_kind; }
    bool IsScalar() const { return m_kind != Kind::List && m_kind != Kind::Map; }
    const std::vector<std::string>& Keys() const { return m_keys; }
    const std::vector<Node>& Items() const { return m_items; }
    bool BoolValue() const { return m_b; }
    long long NumberValue() const { return m_ll; }
    const std::string& TextValue() const { return m_str; }

private:
    explicit Node(Kind kind) : m_kind(kind) {}

    Kind m_kind;
    bool m_b = false;
    long long m_ll = 0;
    std::string m_str;
    std::vector<std::string> m_keys;  // Map only, one per item
    std::vector<Node> m_items;
};

// One JSON document of the tree.
void AppendJson(const Node& node, std::string& out);
// The members of a map, one per line, nested maps and lists indented under their key.
void AppendTextMap(const Node& map, size_t cIndent, std::string& out);

}  // namespace inspector
