' Text in the ANSI code page of the system running the script. Under a
' double-byte code page (932) every byte of each character must go out, and
' the counts are in characters: the runner reads the bytes at the other end
' of the port. Only ASCII is echoed (Wine's cscript fails on printing
' double-byte text).
'
'   cscript //nologo codepage_test.vbs slot
Option Explicit
On Error Resume Next

Dim o, slot, text, sent, n, ok, failures
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

Set o = CreateObject("Kavrel.comms")
If Err.Number <> 0 Then
  WScript.Echo "FAIL: CreateObject: error " & Err.Number
  WScript.Quit 100
End If
slot = CInt(WScript.Arguments(0))
' U+65E5 U+672C as code page 932 writes them (Wine's VBScript has no ChrW).
text = "A" & Chr(&H93FA) & Chr(&H967B) & "B"
Expect Len(text) = 4, "the text is four characters in code page 932"

o.PortComm = slot
o.BaudComm = 9600
o.OpenComm
ok = o.StatusComm
Expect ok, "OpenComm on COM" & slot

sent = text
o.WriteComm sent
ok = o.StatusComm
Expect ok, "WriteComm says the whole text went out"
Expect sent = text, "WriteComm leaves the text as it was"

sent = text
n = o.CommWrite(slot, sent)
Expect n = 4, "CommWrite counts 4 characters written (got " & n & ")"
Expect sent = text, "CommWrite leaves the text as it was"

o.CloseComm
WScript.Echo "code page checks complete"
WScript.Quit failures
