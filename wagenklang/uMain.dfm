object Main: TMain
  Left = 0
  Top = 0
  BorderIcons = [biSystemMenu, biMinimize]
  BorderStyle = bsSingle
  Caption = 'Wagenklang'
  ClientHeight = 305
  ClientWidth = 273
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Position = poScreenCenter
  OnCreate = FormCreate
  OnDestroy = FormDestroy
  object gbTCP: TGroupBox
    Left = 8
    Top = 8
    Width = 257
    Height = 73
    Caption = 'TCP-Verbindung '
    TabOrder = 0
    object laTCPServer: TLabel
      Left = 8
      Top = 20
      Caption = 'Server:'
    end
    object edTCPServer: TEdit
      Left = 56
      Top = 16
      Width = 97
      Height = 21
      Text = 'localhost'
      TabOrder = 0
    end
    object laTCPPort: TLabel
      Left = 8
      Top = 44
      Caption = 'Port:'
    end
    object edTCPPort: TEdit
      Left = 56
      Top = 40
      Width = 97
      Height = 21
      Text = '1435'
      TabOrder = 1
    end
    object btnTCPConnection: TButton
      Left = 160
      Top = 16
      Width = 89
      Height = 25
      Caption = '&Verbinden'
      TabOrder = 2
      OnClick = btnTCPConnectionClick
    end
    object laTCPConnectionStateCaption: TLabel
      Left = 160
      Top = 48
      Caption = 'Status:'
    end
    object laTCPConnectionState: TLabel
      Left = 198
      Top = 48
      Width = 51
      Height = 13
      Alignment = taCenter
      AutoSize = False
      Caption = 'getrennt'
    end
  end
  object gbTuersound: TGroupBox
    Left = 8
    Top = 88
    Width = 257
    Height = 113
    Caption = 'Türsound '
    TabOrder = 1
    object laLok: TLabel
      Left = 144
      Top = 17
      Caption = 'Lok'
    end
    object laBndzfBnrdzf: TLabel
      Left = 144
      Top = 41
      Caption = 'Bndzf, Bnrdzf'
    end
    object laBybdzf: TLabel
      Left = 144
      Top = 65
      Caption = 'Bybdzf'
    end
    object laBnrbdzf: TLabel
      Left = 144
      Top = 89
      Caption = 'Bnrbdzf'
    end
    object rbTuerKeine: TRadioButton
      Left = 8
      Top = 16
      Width = 129
      Height = 17
      Caption = 'keine'
      TabOrder = 0
      OnClick = rbTuersoundClick
    end
    object rbTuerDrehfaltBn: TRadioButton
      Left = 8
      Top = 40
      Width = 129
      Height = 17
      Caption = 'Drehfalttür'
      Checked = True
      TabOrder = 1
      OnClick = rbTuersoundClick
    end
    object rbTuerDrehfaltBy: TRadioButton
      Left = 8
      Top = 64
      Width = 129
      Height = 17
      Caption = 'Drehfalttür'
      TabOrder = 2
      OnClick = rbTuersoundClick
    end
    object rbTuerSchwenkschiebe: TRadioButton
      Left = 8
      Top = 88
      Width = 129
      Height = 17
      Caption = 'Schwenkschiebetür'
      TabOrder = 3
      OnClick = rbTuersoundClick
    end
  end
  object gbAbfertigung: TGroupBox
    Left = 8
    Top = 208
    Width = 169
    Height = 89
    Caption = 'Abfertigungsverfahren '
    TabOrder = 2
    object rbAbfOhne: TRadioButton
      Left = 8
      Top = 16
      Width = 57
      Height = 17
      Caption = 'ohne'
      TabOrder = 0
    end
    object rbAbfTB0: TRadioButton
      Left = 8
      Top = 40
      Width = 57
      Height = 17
      Caption = 'TB0'
      Checked = True
      TabOrder = 1
    end
    object rbAbfSAT: TRadioButton
      Left = 8
      Top = 64
      Width = 57
      Height = 17
      Caption = 'SAT'
      TabOrder = 2
    end
  end
  object cbSound: TCheckBox
    Left = 192
    Top = 208
    Width = 73
    Height = 17
    Caption = 'Sound an'
    Checked = True
    TabOrder = 3
    OnClick = cbSoundClick
  end
  object btnInfo: TButton
    Left = 192
    Top = 272
    Width = 75
    Height = 25
    Caption = '&Info'
    TabOrder = 4
    OnClick = btnInfoClick
  end
end
