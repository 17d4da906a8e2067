// The window's title as window managers read it: exactly the caption on each
// of the title properties, with nothing added from the application's name.

#include <gtest/gtest.h>

#include "WindowSteps.h"

namespace {

TEST(Title, EveryTitlePropertyIsExactlyTheCaption) {
  TXvfbProgram app(VYR_MQTT_PROGRAM);
  ASSERT_TRUE(app.Start()) << app.Failure().toStdString();
  const char *properties[] = {"WM_NAME", "_NET_WM_NAME", "_NET_WM_ICON_NAME"};
  for (const char *property : properties) {
    SCOPED_TRACE(property);
    const QString shown = app.Property(property);
    EXPECT_TRUE(shown.endsWith(" = \"Vyr MQTT Client v2.1\"")) << shown.toStdString();
  }
}

} // namespace
