' Double-byte text read back in pieces, under code page 932: the peer sends
' "A" and 1000 characters of two bytes each, 2001 bytes, more than one read
' takes (1024 bytes), so the first read stops after a lead byte. Every
' character must come back whole. Only ASCII is echoed.
'
'   cscript //nologo codepage_read_test.vbs slot peer-port
Option Explicit
On Error Resume Next

Dim failures
failures = 0
Sub Expect(ok, what)
  If Err.Number <> 0 Then
    failures = failures + 1
    WScript.Echo "FAIL: " & what & ": error " & Err.Number
    Err.Clear
  ElseIf Not ok Then
    failures = failures + 1
    WScript.Echo "FAIL: " & what
  End If
End Sub

Dim o, p, slot, mode, text, got, part, n, tries, i, code
Set o = CreateObject("Kavrel.comms")
Set p = CreateObject("Kavrel.comms")
If Err.Number <> 0 Then
  WScript.Echo "FAIL: CreateObject: error " & Err.Number
  WScript.Quit 100
End If
slot = CInt(WScript.Arguments(0))
mode = "baud=9600 parity=N data=8 stop=1"
code = p.CommOpen(1, WScript.Arguments(1), mode)
Expect code = 0, "the peer opens " & WScript.Arguments(1) & " (got " & code & ")"
code = o.CommOpen(slot, "COM" & slot, mode)
Expect code = 0, "COM" & slot & " opens (got " & code & ")"

' U+65E5 as code page 932 writes it (Wine's VBScript has no ChrW).
text = "A" & String(1000, Chr(&H93FA))
n = p.CommWrite(1, text)
Expect n = 1001, "the peer writes 1001 characters (got " & n & ")"
o.waitnow 500

got = ""
tries = 0
Do While Len(got) < Len(text) And tries < 40
  part = ""
  n = o.CommRead(slot, part, 64)
  got = got & part
  If n = 0 Then o.waitnow 50
  tries = tries + 1
Loop
If got <> text Then
  For i = 1 To Len(got)
    If Mid(got, i, 1) <> Mid(text, i, 1) Then Exit For
  Next
  Expect False, "the text came back whole (" & Len(got) & " characters, the first wrong at " & i & ")"
End If

o.CommClose slot
p.CommClose 1
WScript.Echo "code page read checks complete"
WScript.Quit failures
