"""ostrakd -c on a table of configuration files: the good ones pass with
"No errors processing configuration file." and status 0; each bad keyword or
value ends the check with its exact message and status 1."""

import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import daemon_harness as h  # noqa: E402

OK = "No errors processing configuration file.\n"
FAILED = "Error: Errors processing configuration file.  Server not started.\n"
# A well-formed file naming a policy key the server has nowhere (no key
# rings, no database) is parsed and then stops at the policy set-up.
MISSING_KEY = ("Error: Could not open database.  Make sure owner or group has read and write access to all "
               "database files.\nError: Cannot find trusted key (%s) in database.\n"
               "Error: Initializing the server's policies failed with error: item not found.\n")

KEY8 = "0x%08X"
KEY16 = "0x%016X"


class CheckOption(h.RootTestCase):
    def check(self, text, expected_err, status):
        self.root.write_config(text.replace("{port}", str(self.root.port)))
        p = self.root.run("-c")
        expected = expected_err.replace("{path}", self.root.config)
        self.assertEqual(p.stderr, expected)
        self.assertEqual(p.returncode, status)

    def test_good_files(self):
        base = "Port {port}\nSecureMode disabled\n"
        cases = [
            ("minimal", base, OK),
            ("comments, blank and indented lines",
             "# a comment\n\n   \t Port {port}\n\t# indented comment\n  SecureMode Disabled\n", OK),
            ("keywords and values in any case",
             "pORT {port}\nsecuremode DISABLED\nloglevel ERROR\ncyclelogday SUN\n", OK),
            ("every pass-two keyword",
             base + "SizeLimit 10\nTimeLimit 20\nCycleLogDay Weds\nCycleLogTime 1:05\nCycleLogKeep 99\n"
             "PublicKeyRing ../etc/pub.pkr\nPrivateKeyRing ../etc/sec.skr\nRandSeedFile ../etc/seed\n"
             "ServerSecureKeyID " + KEY16 % 0x1234 + "\nReplicationSecureKeyID " + KEY8 % 1 + "\n"
             "ReadOnly yes\nTrimUsers no\nTrimSigs yes\nTrimPhotoIDs yes\nMustSigID " + KEY8 % 2 + " " +
             KEY16 % 3 + "\nAllowSigID " + KEY8 % 4 + "\nAllow ip 10.1.* add\nAllow host *.example.com all\n"
             "Allow keyid " + KEY8 % 5 + " add\nAllow keyid self delete\nAllow keyid " + KEY8 % 6 +
             " admin\nMustSignAdds no\nAccessLogDetails bind none search\nPolicyFailures error\n"
             "IndexMethod word\nDefaultAccess read\nIdleSyncTimeout 5\nAccessLogFormat version1\n"
             "LookupHostname yes\nAdminUsername admin\nAdminPassword {SSHA}abc\nTempPath /tmp\n"
             "AcceptReconstructionData no\nForceSyncOnWrite no\nUser root\n"
             "Directory ../data\nMode 0600\nIndex cn\nCacheEntries 100\ndbCacheSize 100000\n", MISSING_KEY % "0000000000000003"),
            ("quoted value with blanks",
             base + 'AccessLogFile "../logs/my access.log" 0600\n', OK),
            ("hundred MustSigID lines", base + "".join("MustSigID %s\n" % (KEY8 % i) for i in range(100)),
             MISSING_KEY % "00000000"),
            ("retired keywords are info lines, hidden at the default level",
             base + "CommandPort 1\nRepdCommandTimeout 2\n", OK),
            ("info lines at LogLevel info",
             base + "LogLevel info\nReadOnly on\nLookupHostname off\nAllow keyid 0x00000001 command\n"
             "CommandPort 7\nAllow ip 1.* compare\n",
             "Info: ReadOnly: 'on' is deprecated. Please use 'yes' and 'no'.\n"
             "Info: LookupHostname: 'off' is deprecated. Please use 'yes' and 'no'.\n"
             "Info: \"Command\" is deprecated.\n"
             "Info: CommandPort no longer supported.\n"
             "Info: \"compare\" now maps to \"read\"\n" + OK),
            ("warnings go on",
             base + "Allow keyid 0x00000001 GroupUpdate\nAllow host *.example.com read\n"
             "LookupHostname no\nAdminUsername admin\n",
             "Warning: \"GroupUpdate\" is depricated and has been mapped to \"Admin\".\n"
             "Warning: Host access control found. Turning on DNS lookups (Overriding current setting).\n"
             "Warning: AdminUsername is configured, but there is no AdminPassword.\n" + MISSING_KEY % "00000001"),
            ("a 101-token line uses its first 100 (each pass reads it)",
             base + "AccessLogDetails" + " bind" * 99 + " bogus\n",
             "Warning: {path}(3): Too many tokens found.  Only first 100 tokens will be used.\n" * 3 + OK),
            ("secure port alone", "Port -1\nSecurePort {port}\nSecureMode optional\n", OK),
            ("required secure mode with its key", "Port {port}\nSecureMode required\n"
             "ServerSecureKeyID 0x0123456789ABCDEF\n", OK),
        ]
        for name, text, err in cases:
            with self.subTest(name):
                self.check(text, err, 1 if err.endswith("item not found.\n") else 0)

    def test_sample_configuration(self):
        # The sample shipped in etc/ is a valid configuration as it stands.
        shutil.copy(os.path.join(h.REPO, "etc", "ostrakd.conf"), self.root.file("etc", "ostrakd.conf"))
        p = self.root.run("-c", "-p", str(self.root.port))
        self.assertEqual((p.stderr, p.returncode), (OK, 0))

    def test_bad_files(self):
        base = "Port {port}\nSecureMode disabled\n"
        cases = [
            # pass 1
            ("port zero", "Port 0\n",
             "Error: {path}(1): Port number of '0' is invalid.\n  Valid Port values: 1 - 65534.\n"),
            ("port too high", "Port 65535\n",
             "Error: {path}(1): Port number of '65535' is invalid.\n  Valid Port values: 1 - 65534.\n"),
            ("port without value", "Port\n", "Error: {path}(1): Missing port number in \"Port <Number>\" line\n"),
            ("secure port text", "SecurePort x1\n",
             "Error: {path}(1): Port number of 'x1' is invalid.\n  Valid SecurePort values: 1 - 65534.\n"),
            ("carriage-return line ends make numbers invalid", "Port 400\r\n",
             "Error: {path}(1): Port number of '400\r' is invalid.\n  Valid Port values: 1 - 65534.\n"),
            ("no port left", "Port -1\nSecureMode disabled\n# end\n",
             "Error: {path}(3): You must enable either the regular port or the secure port.\n"),
            ("both ports the same", "Port 389\nSecurePort 389\nSecureMode optional\n",
             "Error: The regular port and the secure port cannot be the same value.\n"),
            ("secure mode", "SecureMode sometimes\n",
             "Error: {path}(1): SecureMode of 'sometimes' is invalid.\n"
             "  Valid SecureModes: 'Required', 'Optional', 'Disabled'.\n"),
            ("access log without name", "AccessLogFile\n",
             "Error: {path}(1): Missing Filename in \"AccessLogFile <Filename> ...\" line.\n"),
            # pass 2
            ("unknown keyword", base + "Bogus 1\n", "Error: {path}(3) Unknown config directive (Bogus).\n"),
            ("a physical line is cut at 1023 bytes and its rest read as a line",
             base + "#" + "x" * 1100 + "\n",
             "Error: {path}(4) Unknown config directive (" + "x" * 78 + ").\n"),
            ("size limit", base + "SizeLimit -5\n",
             "Error: {path}(3): Invalid Limit in \"SizeLimit <Limit>\" line\n"),
            ("time limit count", base + "TimeLimit 1 2\n",
             "Error: {path}(3): Missing Limit in \"TimeLimit <Limit>\" line\n"),
            # Twice the limit in milliseconds once overflowed on every connection.
            ("time limit beyond its range", base + "TimeLimit 2000000\n",
             "Error: {path}(3): Invalid Limit in \"TimeLimit <Limit>\" line\n"),
            # A NUL once ended the line there: "Port 38\0 01" was port 38.
            ("a NUL byte in a line", "Port {port}\0 01\nSecureMode disabled\n",
             "Error: {path}(1): Invalid character (NUL or control character) in the line.\n"),
            ("a control character in a line", base + "SizeLimit 5\x1b\n",
             "Error: {path}(3): Invalid character (NUL or control character) in the line.\n"),
            ("cycle day", base + "CycleLogDay Funday\n",
             "Error: {path}(3): CycleLogDay of 'Funday' is invalid.\n"
             "  Valid values: Sun, Mon, Tues, Weds, Thurs, Fri, Sat, Daily, Never.\n"),
            ("cycle hour zero", base + "CycleLogTime 00:30\n",
             "Error: {path}(3): Time of '00:30' is invalid.\n"
             "  Valid format: HH:MM where HH is the hour in 24-hour time.\n"),
            ("cycle minutes one digit", base + "CycleLogTime 1:5\n",
             "Error: {path}(3): Time of '1:5' is invalid.\n"
             "  Valid format: HH:MM where HH is the hour in 24-hour time.\n"),
            ("cycle hour 24", base + "CycleLogTime 24:00\n",
             "Error: {path}(3): Time of '24:00' is invalid.\n"
             "  Valid format: HH:MM where HH is the hour in 24-hour time.\n"),
            ("cycle keep 100", base + "CycleLogKeep 100\n",
             "Error: {path}(3): History of '100' is invalid.\n"
             "  Valid values: 0 - 99 where 0 means do not keep any log file copies.\n"),
            ("cycle keep count", base + "CycleLogKeep\n",
             "Error: {path}(3): Missing NumberToKeep in \"CycleLogHistory <NumberToKeep>\" line\n"),
            ("key ID with capital X", base + "ServerSecureKeyID 0X12345678\n",
             "Error: {path}(3): Key ID '0X12345678' must begin with \"0x\".\n"
             "Error: {path}(3): Invalid KeyID (0X12345678) found in ServerSecureKeyID\n"),
            ("key ID length", base + "MustSigID 0x12345678 0x1234\n",
             "Error: {path}(3): Key ID '0x1234' is invalid (must be either 32 or 64 bits long)\n"
             "Error: {path}(3): Invalid KeyID (0x1234) found in MustSigID\n"),
            ("101 MustSigID lines", base + "".join("MustSigID %s\n" % (KEY8 % i) for i in range(101)),
             "Error: {path}(103): Total number of KeyIDs exceeds limit with \"MustSigID <KeyIDs> ...\" line\n"),
            ("AllowSigID without keys", base + "AllowSigID\n",
             "Error: {path}(3): Missing KeyIDs in \"AllowSigID <KeyIDs> ...\" line\n"),
            ("read-only value", base + "ReadOnly maybe\n",
             "Error: {path}(3): Invalid permission in \"ReadOnly <Yes|No>\" line\n"),
            ("log level", base + "LogLevel loud\n",
             "Error: {path}(3): LogLevel of 'loud' is invalid.\n"
             "  Valid LogLevels: 'error', 'warning', 'info', 'verbose'.\n"),
            ("trim value", base + "TrimUsers perhaps\n",
             "Error: {path}(3): Invalid value (perhaps) found on \"TrimUsers <Yes|No>\" line\n"),
            ("allow syntax", base + "Allow ip 10.*\n",
             "Error: {path}(3): Invalid syntax on \"Allow <type> <pattern> <access level>\" line.\n"),
            ("allow type", base + "Allow mac 10.* add\n",
             "Error: {path}(3): Allow Type of 'mac' is invalid.\n  Valid Types: 'ip', 'host', 'keyid'.\n"),
            ("allow ip level", base + "Allow ip 10.* superuser\n",
             "Error: {path}(3): Allow Access Level of 'superuser' is invalid.\n"
             "  Valid Levels: 'none', 'compare', 'search', 'read', 'add', 'delete', 'all'.\n"
             "Error: Internal error in allow.\n"),
            ("allow keyid level", base + "Allow keyid 0x12345678 read\n",
             "Error: {path}(3): Allow Access Level of 'read' is invalid.\n"
             "  Valid Levels: 'add', 'GroupUpdate', 'delete', 'command'.\n"),
            ("allow keyid key", base + "Allow keyid 12345678 add\n",
             "Error: {path}(3): Key ID '12345678' must begin with \"0x\".\n"
             "Error: {path}(3): Invalid KeyID (12345678) found in Allow\n"),
            ("must sign adds", base + "MustSignAdds sure\n",
             "Error: {path}(3): Invalid value (sure) found on \"MustSignAdds <Yes|No>\" line.\n"),
            ("access log details", base + "AccessLogDetails search bogus\n",
             "Error: {path}(3): Invalid value (bogus) found on \"AccessLogDetails <type> ...\" line.\n"),
            ("policy failures", base + "PolicyFailures ignore\n",
             "Error: {path}(3): Invalid value (ignore) found on \"PolicyFailures <Pending|Error>\" line.\n"),
            ("index method", base + "IndexMethod tree\n",
             "Error: {path}(3): IndexMethod must be'Word' or 'Substring'.\n"),
            ("default access", base + "DefaultAccess god\n",
             "Error: {path}(3): Default Access level of 'god' is invalid.\n"
             "  Valid levels: 'none', 'compare', 'search', 'read', 'add', 'delete', 'all'.\n"),
            ("idle sync", base + "IdleSyncTimeout soon\n",
             "Error: {path}(3): Invalid Seconds in \"IdleSyncTimeout <Seconds>\" line\n"),
            ("access log format", base + "AccessLogFormat fancy\n",
             "Error: {path}(3): Invalid access log format type.\n"),
            ("lookup hostname", base + "LookupHostname maybe\n",
             "Error: {path}(3): Invalid value specified for LookupHostname.\n"),
            ("reconstruction data", base + "AcceptReconstructionData on\n",
             "Error: {path}(3): AcceptReconstructionData must be'yes' or 'no'.\n"),
            ("user count", base + "User a b\n",
             "Error: {path}(3): Invalid number of parameters for 'User'.\n"),
            ("admin password count", base + "AdminPassword\n",
             "Error: {path}(3): Missing Filename in \"AdminPassword {SSHA}<password>\" line\n"),
            ("replica protocol", base + "RepLogFile ../data/rep.log\nReplica ftp://host:21\n",
             "Error: {path}(4): Invalid Protocol in \"Replica <Host[:Port]>\" line\n"),
            ("replica port", base + "RepLogFile ../data/rep.log\nReplica 127.0.0.1:ldap\n",
             "Error: {path}(4): Invalid Port Number in \"Replica <Host[:Port]>\" line\n"),
            ("replica host", base + "RepLogFile ../data/rep.log\nReplica :389\n",
             "Error: {path}(4): Missing Host in \"Replica <Host[:Port]>\" line\n"),
            ("trim without signature IDs", base + "TrimSigs yes\n",
             "Error: {path}: TrimSigs was enabled but no AllowSigID or MustSigID Key IDs were specified.\n"),
            ("replication log without replica", base + "RepLogFile ../data/rep.log\n",
             "Error: {path}: To perform replication, both RepLogFile and Replica must be specified.\n"),
            ("replica without replication log", base + "Replica ldap://127.0.0.1:389\n",
             "Error: {path}: To perform replication, both RepLogFile and Replica must be specified.\n"),
            ("required secure mode without key", "Port {port}\nSecureMode required\n",
             "Error: Securemode is set to required, but there is no secure server key id defined.\n"),
        ]
        for name, text, err in cases:
            with self.subTest(name):
                self.check(text, err + FAILED, 1)

    def test_log_directories_must_exist(self):
        # -c once passed a file whose logs could not be written.
        for keyword, extra in (("AccessLogFile", ""), ("RepLogFile", "Replica ldap://127.0.0.1:389\n")):
            with self.subTest(keyword):
                log = "../nowhere/%s.log" % keyword
                absolute = os.path.join(self.root.file("bin"), log)
                self.check("Port {port}\nSecureMode disabled\n%s %s\n%s" % (keyword, log, extra),
                           "Error: {path}: The directory (%s) of the log file (%s) does not exist.\n"
                           % (os.path.dirname(absolute), absolute), 1)

    def test_stops_at_first_error(self):
        # Only the first bad line is reported.
        self.check("Port {port}\nSecureMode disabled\nSizeLimit x\nBogus\n",
                   "Error: {path}(3): Invalid Limit in \"SizeLimit <Limit>\" line\n" + FAILED, 1)


if __name__ == "__main__":
    h.main()
