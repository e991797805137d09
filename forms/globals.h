#pragma once
// The process-wide window references: each names the most recently created window of its kind.
class TForm1;
class TForm2;
class TForm3;
class TForm4;
class TForm5;
class TForm6;
class TForm7;
class TAboutBox;

extern TForm1* Form1; // the login window, for the whole run
extern TForm2* Form2;
extern TForm3* Form3; // the main window, for the whole run
extern TForm4* Form4;
extern TForm5* Form5;
extern TForm6* Form6;
extern TForm7* Form7;
extern TAboutBox* AboutBox;
