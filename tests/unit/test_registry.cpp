// The product key, read and written in the 32-bit view, and key-tree deletion.
#include "tests/unit/SimTest.h"

namespace tdu::test {
namespace {

TEST(Registry, Scenarios) {
    runScenarios({}, R"txt(
== the processor marker: its key not created, then it not set, then set in the 32-bit view
+ fail RegCreateKeyExW 1 5
> /setprocessortype 1 => 2
Failed to create reg: Processor_X64
Failed to set registry: Processor_X64
+ fail RegSetValueExW 1 5
> /setprocessortype 1 => 2
Failed to set reg: Processor_X64
> /setprocessortype 1 => 0
Processor Architecture is: Processor_X64
Saved Processor Architecture to Registry: Processor_X64
? values: Processor_X64=#1
? key SOFTWARE\TavrinSecure\TavrinDrivers: absent

== key trees go deepest first
+ key SOFTWARE\Vendor\Tree\a\a1\a11
+ key SOFTWARE\Vendor\Tree\a\a2
+ key SOFTWARE\Vendor\Tree\b
+ key SOFTWARE\Vendor\Tree\c\c1
+ reg SOFTWARE\Vendor\Tree\a v x
> @RegDelNode SOFTWARE\Vendor\Tree => 1
= whole log
Deleting Registry: SOFTWARE\Vendor\Tree
Successfully deleted: SOFTWARE\Vendor\Tree\a\a1\a11
Successfully deleted at the end: SOFTWARE\Vendor\Tree\a\a1
Successfully deleted: SOFTWARE\Vendor\Tree\a\a2
Successfully deleted at the end: SOFTWARE\Vendor\Tree\a
Successfully deleted: SOFTWARE\Vendor\Tree\b
Successfully deleted: SOFTWARE\Vendor\Tree\c\c1
Successfully deleted at the end: SOFTWARE\Vendor\Tree\c
Successfully deleted at the end: SOFTWARE\Vendor\Tree
? key SOFTWARE\Vendor: present
? key SOFTWARE\Vendor\Tree: absent

== a child whose path would not fit stops the walk, and its parent stays; so does a subtree not opened
+ key SOFTWARE\{p*300}\{c*250}
+ key SOFTWARE\T\a\deep
+ key SOFTWARE\T\b
> @RegDelNode SOFTWARE\{p*300} => 0
Registry path too long: SOFTWARE\{p*300}\{c*250}
Failed to delete: SOFTWARE\{p*300} with error: 5
? key SOFTWARE\{p*300}\{c*250}: present
+ fail RegOpenKeyExW 2 5
> @RegDelNode SOFTWARE\T => 0
Error opening key with error: 5.\n
Failed to delete: SOFTWARE\T with error: 5
? key SOFTWARE\T\b: present

== a key path of 519 characters is looked for, a missing key no failure; 520 are refused, as is an empty one
> @RegDelNode {k*519} => 1
Key not found.\n
> @RegDelNode {k*520} => 0
> @RegDelNode "" => 0
Registry path is empty or too long: {k*520}
Registry path is empty or too long: 
)txt");
}

} // namespace
} // namespace tdu::test
