// The page template language and the page variables.
#include "engine/http/template.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

VarList sampleVars(const std::string& referer, const std::string& agent) {
    VarList v;
    v.add("referer", referer);
    v.add("user_agent", agent);
    v.add("remote_host", "h.example");
    v.add("date", "Sun Dec  6 19:14:54 1996");
    v.add("Script_Name", "/docs/a.htm");
    return v;
}

TEST(Template, VariablesAndConditionals) {
    VarList withRef = sampleVars("http://from/", "Lynx");
    VarList none = sampleVars("", "");
    struct Case {
        const VarList& vars;
        const char* text;
        const char* expected;
    } cases[] = {
        {withRef, "$SCRIPT_NAME and $script_name", "/docs/a.htm and /docs/a.htm"},
        {withRef, "costs $$5", "costs $5"},
        {withRef, "$dates", "Sun Dec  6 19:14:54 1996s"},
        {withRef, "$nosuch stays", "$nosuch stays"},
        {withRef, "price $5 [approx] now", "price  now"},
        {withRef, "a ] b", "a ] b"},
        {withRef, "$user_agent|[no browser]", "Lynx"},
        {none, "$user_agent|[no browser]", "no browser"},
        {withRef, "$referer?[Return to $referer]", "Return to http://from/"},
        {none, "$referer?[Return to $referer]", ""},
        {none, "$referer![no referer]", "no referer"},
        {withRef, "$referer![no referer]", ""},
        {withRef, "$nosuch|[fallback]", "fallback"},
        {withRef, "$nosuch![fallback]", "fallback"},
        {withRef, "$nosuch?[hidden]x", "x"},
        {withRef, "$referer?[from $referer$remote_host?[ at $remote_host]]", "from http://from/ at h.example"},
        {none, "$referer?[from $referer$remote_host?[ at $remote_host]]", ""},
        {withRef, "Do you use $user_agent?", "Do you use Lynx?"},
        {withRef, "ends with $", "ends with $"},
    };
    for (const auto& c : cases) EXPECT_EQ(expandTemplate(c.vars, c.text), c.expected) << c.text;
}

TEST(Template, UnknownVariableLooksAheadOnlyThirtyOneCharacters) {
    VarList v;
    EXPECT_EQ(expandTemplate(v, "$x" + std::string(29, 'a') + "[gone]"), "");
    EXPECT_EQ(expandTemplate(v, "$x" + std::string(31, 'a') + "[kept]"), "$x" + std::string(31, 'a') + "[kept]");
    EXPECT_EQ(expandTemplate(v, "$a $b[dropped]"), "$a ");
}

TEST(CounterKey, VirtualAliasOnlyWithoutAnAlias) {
    HttpRequest r;
    r.method = "GET";
    EXPECT_EQ(counterKey(r), "EMPTY");
    r.method.clear();
    EXPECT_EQ(counterKey(r), "/");
    r.urlPath = "/docs/";
    EXPECT_EQ(counterKey(r), "/docs");
    r.virtualAlias = "/shop";
    EXPECT_EQ(counterKey(r), "/shop/docs");
    AliasEntry alias;
    r.alias = &alias;
    EXPECT_EQ(counterKey(r), "/docs");
    r.urlPath = "/";
    EXPECT_EQ(counterKey(r), "/");
}

}  // namespace
}  // namespace qv
