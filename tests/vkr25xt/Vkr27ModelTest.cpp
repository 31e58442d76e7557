// The Vkr25Xt also drives a sensor that names itself a Vkr27; what the owner may
// offer depends on the model and version it reports.

#include "../vkr25family/FamilyRig.h"

#include <gtest/gtest.h>

using Rig = Vkr25Family::Rig<Vkr25Family::Vkr25XtTraits>;

TEST(Vkr25XtModel, Vkr27ModelIsRecognisedFromItsIdentity) {
    Rig rig;
    rig.start();
    const auto* info = rig.config().getVersionInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->getModel(), "VKR27");
    EXPECT_FALSE(info->isVersionBelow(7)); // the 7 m mode is offered
    EXPECT_EQ(info->getSerial(), "12345");
    Rig xt;
    xt.driver.initialize();
    xt.feed("VKR25XT,SN 777,V6.10\r\n");
    ASSERT_NE(xt.config().getVersionInfo(), nullptr);
    EXPECT_EQ(xt.config().getVersionInfo()->getModel(), "VKR25XT");
    EXPECT_TRUE(xt.config().getVersionInfo()->isVersionBelow(7));
}
