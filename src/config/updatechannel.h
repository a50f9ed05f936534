#pragma once

// The update channel an installation follows. The value is also the index of the channel's entry
// in the version query's answer, so the numbers must not change.
enum UpdateChannel { ChannelStable = 0, ChannelBeta = 1, ChannelAlpha = 2 };
