object TestMain: TTestMain
  Left = 0
  Top = 0
  BorderIcons = [biSystemMenu, biMinimize]
  BorderStyle = bsSingle
  Caption = 'Formtest'
  ClientHeight = 233
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
    TabOrder = 1
    object laServer: TLabel
      Left = 8
      Top = 20
      Caption = 'Server:'
    end
    object edServer: TEdit
      Left = 56
      Top = 16
      Width = 97
      Height = 21
      Text = 'localhost'
      TabOrder = 0
    end
    object laPort: TLabel
      Left = 8
      Top = 44
      Caption = 'Port:'
    end
    object cbPort: TComboBox
      Left = 56
      Top = 40
      Width = 97
      Height = 21
      Text = '1435'
      Items.Strings = (
        '1435'
        '1436')
      TabOrder = 1
    end
    object btnConnect: TButton
      Left = 160
      Top = 16
      Width = 89
      Height = 25
      Caption = '&Verbinden'
      TabOrder = 2
      OnClick = btnConnectClick
    end
    object laState: TLabel
      Left = 160
      Top = 48
      Width = 89
      Height = 13
      Alignment = taCenter
      AutoSize = False
      Caption = 'getrennt'
    end
  end
  object gbTuer: TGroupBox
    Left = 8
    Top = 88
    Width = 257
    Height = 89
    Caption = 'T'#252'rsound '
    TabOrder = 0
    object rbKeine: TRadioButton
      Left = 8
      Top = 16
      Width = 129
      Height = 17
      Caption = 'keine'
      OnClick = rbTuerClick
    end
    object rbDrehfalt: TRadioButton
      Left = 8
      Top = 40
      Width = 129
      Height = 17
      Caption = 'Drehfalttür'
      Checked = True
      OnClick = rbTuerClick
    end
    object rbSchwenk: TRadioButton
      Left = 8
      Top = 64
      Width = 129
      Height = 17
      Caption = 'Schwenk' +
        'schiebetür'
      OnClick = rbTuerClick
    end
  end
  object cbSound: TCheckBox
    Left = 8
    Top = 184
    Width = 73
    Height = 17
    Caption = 'Sound an'
    Checked = True
    TabOrder = 2
    OnClick = cbSoundClick
  end
  object rbDraussen: TRadioButton
    Left = 96
    Top = 184
    Width = 81
    Height = 17
    Caption = 'drau'#223'en'
    Checked = True
  end
  object btnInfo: TButton
    Left = 192
    Top = 200
    Width = 75
    Height = 25
    Caption = '&Info'
    TabOrder = 3
    OnClick = btnInfoClick
  end
end
