# SPDX-License-Identifier: Apache-2.0
# The longest of the tests that the test programs list, in seconds as they ran side by side under the
# sanitizers: CTest starts the costliest first, so that a run does not end waiting on a long test that
# started late. Read by CTest after those lists (the tests are found only once their programs are
# built); the tests of tests/CMakeLists.txt's own have their costs there.
foreach(
  entry
  App.Security.DocumentsAndTheSpoolHaveLimits=25
  App.Security.JobSubscriptionsKeepTheirJobUntilTheyGo=17
  App.System.PrinterStatusShowsAsStateReasons=16
  App.LongRun.ThousandsOfJobsLeaveTheServerAsTheyFoundIt=15
  App.System.PrinterSettingsAndStockShowAsConfigured=14
  App.System.DriverlessQueuePrintsThePdfLabel=14
  App.Security.WrongPasswordsGetSlower=13
  App.Security.RequestsPastTheLimitsAreRefused=12
  App.Security.StalledOrTricklingRasterStreamsLoseThePrinter=12
  App.System.JobsWaitWhileThePrinterReportsTrouble=12
  App.System.SilentPrinterNeverDelaysClients=11
  App.System.BarcodesScanFromEveryKindOfLabel=9)
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 name)
  list(GET entry 1 cost)
  set_tests_properties(${name} PROPERTIES COST ${cost})
endforeach()
