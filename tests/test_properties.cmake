# SPDX-License-Identifier: GPL-2.0-or-later
# Properties of single tests, read by ctest once every test binary has listed its
# tests (a name no binary lists is ignored).

# The long tests that keep real waits start first, so the rest runs beside them
# even on a first run, before ctest has measured any test.
set_tests_properties(
  BrokerForwardingTest.KeepAlivePingsHoldAnIdleConnectionPast45Seconds
  Faults.StrangerEveryTwoSecondsNeitherHidesALostServerNorHoldsBackKeepAlives
  Faults.BrokerNeverAnsweringSubscribeOrConnackIsLeftAfterTenSecondsAndTriedAgain
  RoadLink.TenPercentLossAndJitterEachWayHoldTheLinkForAnHour
  PROPERTIES COST 1000)

# The floods keep a core busy for seconds; the tests that measure when the
# daemon sends something never run beside them, and the floods not beside each
# other.
set_tests_properties(
  Faults.StrangerEveryTwoSecondsNeitherHidesALostServerNorHoldsBackKeepAlives
  ServiceManager.WatchdogIsPingedAtLeastEveryHalfPeriodWhileTheLineIsSilent
  Faults.LineFloodWhileBrokerIsAwayKeepsMemoryBoundedAndCountsTheDropped
  Faults.PartnerMalformedFloodInterleavedWithValidCallKeepsEveryFrame
  Faults.ServerGarbageIsIgnoredWhileANetworkCallPassesWhole
  Faults.StrangerFloodDuringCallsKeepsEveryFrameAndMemoryBounded
  RewindClientTest.ConcurrentSendersNeverShareASequenceNumber
  Bridge.OverlappingTrafficInBothDirectionsKeepsEveryFrame
  PlayoutRoad.DoubledAndReorderedBurstsReachThePartnerOnceAndInOrder
  PlayoutRoad.LostBurstsArePlayedAsSilenceInTheirPlaceAndCounted
  PlayoutRoad.BurstsOvertakingTheirHeaderOrTrailingTheirTerminatorOpenNoCall
  PROPERTIES RESOURCE_LOCK busy_core)
