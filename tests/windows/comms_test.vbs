' Kavrel.comms from a script host, as a Windows script would use it:
' CreateObject, properties, CommGetError's line back into a variable, and
' the connection layer opening, writing and reading a COM port whose other
' end a second object holds.
'
'   cscript //nologo comms_test.vbs [slot peer-port]
'
' An unhandled error would end the script quietly with exit code 0, so
' errors are trapped, every step is checked, and the last line printed is
' the marker the runner looks for. The exit code is the number of failures.
Option Explicit
On Error Resume Next

Dim failures, checks
failures = 0
checks = 0

' Reports a failure if the statement before it raised an error, or if ok
' is false.
Sub Expect(ok, what)
  checks = checks + 1
  If Err.Number <> 0 Then
    failures = failures + 1
    WScript.Echo "FAIL: " & what & ": error " & Err.Number & " " & Err.Description
    Err.Clear
  ElseIf Not ok Then
    failures = failures + 1
    WScript.Echo "FAIL: " & what
  End If
End Sub

Dim o, v, msg, code, slot
Set o = CreateObject("Kavrel.comms")
If Err.Number <> 0 Then
  WScript.Echo "FAIL: CreateObject(""Kavrel.comms""): error " & Err.Number & " " & Err.Description
  WScript.Quit 100
End If

v = o.Version
Expect v = "1.1", "Version is 1.1 (got " & v & ")"
v = o.Company
Expect v = "Wendaskorve for Tivorand", "Company (got " & v & ")"
v = o.PortComm
Expect v = 0, "a new object's PortComm is 0"
v = o.BaudComm
Expect v = 0, "a new object's BaudComm is 0"
v = o.StatusComm
Expect v = False, "a new object's StatusComm is false"
v = o.ReadBuffer
Expect v = "", "a new object's ReadBuffer is empty"
o.BaudComm = 19200
v = o.BaudComm
Expect v = 19200, "BaudComm let and get"
v = o.settingeval(2400)
Expect v = "baud=2400 parity=N data=8 stop=1", "settingeval (got " & v & ")"

msg = "old text"
code = o.CommGetError(msg)
Expect code = 0, "CommGetError of a new object returns 0"
Expect msg = "Error (0):  - ", "CommGetError's line comes back into the variable (got " & msg & ")"

slot = 7
code = o.CommClose(slot)
Expect code = 9, "CommClose of slot 7 returns 9 (got " & code & ")"
code = o.CommGetError(msg)
Expect code = 9 And msg = "Error (9): CommClose - Subscript out of range", _
  "the trapped error is recorded (got " & msg & ")"

o.NoSuchMember
v = Err.Number
Err.Clear
Expect v = 438, "an unknown member raises error 438 (got " & v & ")"
code = o.CommRead(1, , 64)
v = Err.Number
Err.Clear
Expect v = 449, "an argument left out raises error 449 (got " & v & ")"

If WScript.Arguments.Count >= 2 Then
  Dim p, pslot, peerName, text, got, part, n, tries
  slot = CInt(WScript.Arguments(0))
  peerName = WScript.Arguments(1)

  Set p = CreateObject("Kavrel.comms")
  pslot = 1
  code = p.CommOpen(pslot, peerName, "baud=9600 parity=N data=8 stop=1")
  Expect code = 0, "the peer opens " & peerName & " (got " & code & ")"

  o.PortComm = slot
  o.BaudComm = 9600
  o.OpenComm
  v = o.StatusComm
  Expect v = True, "OpenComm on COM" & slot & " sets StatusComm"

  text = "Hello from VBScript"
  o.WriteComm text
  v = o.StatusComm
  Expect v = True, "WriteComm wrote the whole text"
  got = ""
  tries = 0
  Do While Len(got) < Len(text) And tries < 40
    part = ""
    n = p.CommRead(pslot, part, 64)
    got = got & part
    If n = 0 Then o.waitnow 50
    tries = tries + 1
  Loop
  Expect got = text, "the peer received the text (got " & got & ")"

  n = p.CommWrite(pslot, "back to the script")
  Expect n = 18, "the peer wrote 18 bytes (got " & n & ")"
  o.waitnow 500
  o.ReadComm
  v = o.ReadBuffer
  Expect v = "back to the script", "ReadComm put the text in ReadBuffer (got " & v & ")"

  o.CloseComm
  Expect True, "CloseComm"
  code = p.CommClose(pslot)
  Expect code = 0, "the peer closes its port"
End If

WScript.Echo checks & " checks, " & failures & " failed"
WScript.Echo "VBScript checks complete"
WScript.Quit failures
