// Over HTTP: a script's run error shows on the status page (escaped, with
// its file, procedure and line) and is counted on /metrics.
#include <gtest/gtest.h>

#include "scripting/script_host.h"
#include "web_fixture.h"

namespace tagvane::test {
namespace {

TEST(ScriptErrorsPage, ARunErrorShowsUnderTheScriptButtonsAndOnMetrics) {
  WebFixture fx;
  ScriptHost& host = InstallScripting(fx.app());
  host.Start();
  EXPECT_EQ(fx.Get("/status").find("Recent Script Errors"), std::string::npos);

  WriteFile(fx.dir() / "Scripts/bad.txt", "function Go()\n\n  error('<b>boom</b>')\nend\n");
  host.RunEx("bad.txt", "Go", "");
  const std::string page = fx.Get("/status");
  const size_t buttons = page.find("Read Script Tagvane.txt");
  const size_t errors = page.find("Recent Script Errors");
  ASSERT_NE(errors, std::string::npos);
  EXPECT_LT(buttons, errors);
  for (const char* cell : {">bad.txt<", ">Go<", ">3<", "&lt;b&gt;boom&lt;/b&gt;"}) {
    EXPECT_NE(page.find(cell, errors), std::string::npos) << cell;
  }
  EXPECT_EQ(page.find("<b>boom"), std::string::npos);
  EXPECT_NE(fx.Get("/metrics").find("tagvane_script_errors_total 1"), std::string::npos);
}

}  // namespace
}  // namespace tagvane::test
